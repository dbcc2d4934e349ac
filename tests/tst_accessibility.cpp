// The windows as a screen reader reads them: the program runs on an X display with its
// accessibility bridge on, and the test reads its tree from a private accessibility bus
// (at-spi2-core, started by a session bus of the test's own).
#include "transferrig.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QProcess>
#include <QStandardPaths>

namespace {
// An object on the accessibility bus: the connection that serves it and its path.
struct Ref {
    QString service;
    QDBusObjectPath path;
    bool operator==(const Ref &) const = default;
};
const QDBusArgument &operator>>(const QDBusArgument &in, Ref &ref)
{
    in.beginStructure();
    in >> ref.service >> ref.path;
    in.endStructure();
    return in;
}
QDBusArgument &operator<<(QDBusArgument &out, const Ref &ref)
{
    out.beginStructure();
    out << ref.service << ref.path;
    out.endStructure();
    return out;
}
struct Relation {
    uint type = 0;
    QList<Ref> targets;
};
const QDBusArgument &operator>>(const QDBusArgument &in, Relation &relation)
{
    in.beginStructure();
    in >> relation.type >> relation.targets;
    in.endStructure();
    return in;
}
QDBusArgument &operator<<(QDBusArgument &out, const Relation &relation)
{
    out.beginStructure();
    out << relation.type << relation.targets;
    out.endStructure();
    return out;
}
}
Q_DECLARE_METATYPE(Ref)
Q_DECLARE_METATYPE(Relation)

namespace {
constexpr uint RelationLabelledBy = 2; // AT-SPI's ATSPI_RELATION_LABELLED_BY
const QString Accessible = QStringLiteral("org.a11y.atspi.Accessible");

// One control as read from the bus.
struct Node {
    Ref ref;
    QString name, role;
};

class Reader
{
public:
    explicit Reader(const QDBusConnection &bus)
        : m_bus(bus)
    {
    }

    QString name(const Ref &ref) { return property(ref, Accessible, QStringLiteral("Name")).toString(); }
    QVariant property(const Ref &ref, const QString &interface, const QString &name)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(ref.service, ref.path.path(),
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
        call << interface << name;
        const QDBusReply<QDBusVariant> reply = m_bus.call(call, QDBus::Block, 3000);
        return reply.isValid() ? reply.value().variant() : QVariant();
    }
    template <typename T> T call(const Ref &ref, const QString &method, const QString &interface = Accessible)
    {
        const QDBusReply<T> reply = m_bus.call(
            QDBusMessage::createMethodCall(ref.service, ref.path.path(), interface, method), QDBus::Block, 3000);
        return reply.isValid() ? reply.value() : T();
    }
    // Every object under `ref`, depth first.
    QList<Node> tree(const Ref &ref)
    {
        QList<Node> found;
        for (const Ref &child : call<QList<Ref>>(ref, QStringLiteral("GetChildren"))) {
            found.append({child, name(child), call<QString>(child, QStringLiteral("GetRoleName"))});
            found += tree(child);
        }
        return found;
    }

private:
    QDBusConnection m_bus;
};
}

class tst_Accessibility : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime;
    quint16 port = freePort();
    QProcess sessionBus;
    QString sessionAddress;
    std::optional<QDBusConnection> a11y;
    std::unique_ptr<QProcess> program;
    QByteArray wire;
    QStringList events;

    // The program's own root on the accessibility bus.
    Ref application()
    {
        Reader reader(*a11y);
        const Ref registry{QStringLiteral("org.a11y.atspi.Registry"), QDBusObjectPath("/org/a11y/atspi/accessible/root")};
        for (const Ref &app : reader.call<QList<Ref>>(registry, QStringLiteral("GetChildren"))) {
            const QDBusReply<uint> pid = a11y->interface()->servicePid(app.service);
            if (pid.isValid() && qint64(pid.value()) == program->processId())
                return app;
        }
        return {};
    }

    QList<Node> controls()
    {
        const Ref app = application();
        return app.service.isEmpty() ? QList<Node>() : Reader(*a11y).tree(app);
    }

    std::optional<Node> find(const QString &name, const QString &role = {})
    {
        for (const Node &node : controls())
            if (node.name == name && (role.isEmpty() || node.role == role))
                return node;
        return std::nullopt;
    }

    bool send(const QByteArray &line)
    {
        program->write(line + '\n');
        return waitFor([&] { return program->canReadLine() && program->readLine().trimmed() == line; }, 5000);
    }

public slots:
    void propertyChanged(const QDBusMessage &message) { events << message.member() + u' ' + message.arguments().value(0).toString() + u' ' + message.path(); }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != u"xcb")
            QSKIP("Needs an X display");
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()
            || !QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
            QSKIP("dbus-daemon and at-spi2-core are not installed");
        qDBusRegisterMetaType<Ref>();
        qDBusRegisterMetaType<QList<Ref>>();
        qDBusRegisterMetaType<Relation>();
        qDBusRegisterMetaType<QList<Relation>>();

        // A session bus of our own, which starts the accessibility bus when first asked for it.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("HOME"), runtime.path());
        sessionBus.setProcessEnvironment(env);
        sessionBus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                         QStringLiteral("--print-address=1"),
                                                         QStringLiteral("--address=unix:dir=") + runtime.path()});
        QVERIFY(waitFor([&] { return sessionBus.canReadLine(); }, 5000));
        sessionAddress = QString::fromUtf8(sessionBus.readLine().trimmed());
        QDBusConnection session = QDBusConnection::connectToBus(sessionAddress, QStringLiteral("session"));
        QVERIFY(session.isConnected());
        const QDBusReply<QString> address = session.call(
            QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                           QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
            QDBus::Block, 10000);
        QVERIFY2(address.isValid(), qPrintable(address.error().message()));
        a11y = QDBusConnection::connectToBus(address.value(), QStringLiteral("a11y"));
        QVERIFY(a11y->isConnected());

        // A screen reader's interest in changes of names and values, as Orca registers it, so that
        // the program announces them.
        QDBusMessage listen = QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
        listen << QStringLiteral("object:property-change") << QStringList() << QString();
        QVERIFY(a11y->call(listen, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage);
        listen.setArguments({QStringLiteral("object:value-changed"), QStringList(), QString()});
        QVERIFY(a11y->call(listen, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage);

        QVERIFY(a11y->connect({}, {}, QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("PropertyChange"),
                              this, SLOT(propertyChanged(QDBusMessage))));

        // The program, with its accessibility bridge on as under a screen reader.
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), sessionAddress);
        env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // Whole stacks, so that what Qt leaves is told apart from ours.
        env.insert(QStringLiteral("ASAN_OPTIONS"), qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":fast_unwind_on_malloc=0"));
        env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" VELTRANE_LEAK_SUPPRESSIONS));
        program = std::make_unique<QProcess>();
        program->setProcessEnvironment(env);
        program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program->start(QStringLiteral(VELTRANE_DRIVER), {QString::number(port), runtime.filePath("copy.bin")});
        QVERIFY(waitFor([&] { return find(QStringLiteral("Send"), QStringLiteral("push button")).has_value(); }, 10000));
    }

    void cleanupTestCase()
    {
        if (program) {
            program->closeWriteChannel();
            QVERIFY(program->waitForFinished(5000));
            QCOMPARE(program->exitCode(), 0);
        }
        sessionBus.terminate();
        sessionBus.waitForFinished(3000);
    }

    void everyControlHasANameAndItsRole()
    {
        const QList<Node> start = controls();
        using Control = std::pair<QString, QString>;
        QList<Control> seen;
        for (const Node &node : start)
            seen.append({node.name, node.role});
        for (const Control &expected : QList<Control>{{"Veltrane", "frame"}, {"Send", "push button"}, {"Recieve", "push button"},
                                                      {"Exit", "push button"}, {"About", "push button"}})
            QVERIFY2(seen.contains(expected), qPrintable(expected.first + " " + expected.second));
        // Nothing a user can reach stands there unnamed.
        for (const Node &node : start)
            QVERIFY2(!node.name.isEmpty() || node.role == u"filler", qPrintable(node.role));

        QVERIFY(send("press AboutBut"));
        QVERIFY(waitFor([&] { return find(QStringLiteral("About ..."), QStringLiteral("frame")).has_value(); }));
        for (const char *label : {"Version:", "1.0.8", "Build:", "20020207", "Author:", "Company:"})
            QVERIFY2(find(QLatin1String(label), QStringLiteral("label")), label);
        QVERIFY(find(QStringLiteral("Veltrane"), QStringLiteral("graphic")));
        QVERIFY(send("close AboutWin"));

        QVERIFY(send("press SendBut"));
        QVERIFY(waitFor([&] { return find(QStringLiteral("Connect ..."), QStringLiteral("frame")).has_value(); }));
        QVERIFY(find(QStringLiteral("Connect"), QStringLiteral("push button")));
        QVERIFY(find(QStringLiteral("Address"), QStringLiteral("graphic")));
        QVERIFY(find(QStringLiteral("Enter the IP address of the reciever:"), QStringLiteral("label")));
        // The box is named by its prompt.
        QVERIFY(find(QStringLiteral("Enter the IP address of the reciever:"), QStringLiteral("text")));
        QVERIFY(send("close IPWin"));
        QVERIFY(waitFor([&] { return !find(QStringLiteral("Connect ...")); }));
    }

    void escapeClosesBothDialogsAsTheirFrameWould()
    {
        for (const auto &[button, title] : {std::pair("AboutBut", "About ..."), std::pair("SendBut", "Connect ...")}) {
            QVERIFY(send(QByteArray("press ") + button));
            QVERIFY2(waitFor([&] { return find(QLatin1String(title)).has_value(); }), title);
            QVERIFY(waitFor([&] { return send("key Escape") && !find(QLatin1String(title)); }));
        }
        // The start window takes commands again.
        QVERIFY(send("press AboutBut"));
        QVERIFY(waitFor([&] { return find(QStringLiteral("About ...")).has_value(); }));
        QVERIFY(send("close AboutWin"));
    }

    void theBarFollowsTheTransferAndTheStatusIsLabelledAndAnnounced()
    {
        QVERIFY(send("press RecBut"));
        std::optional<Node> bar, status, caption;
        QVERIFY(waitFor([&] {
            bar = find(QStringLiteral("Progress"), QStringLiteral("progress bar"));
            status = find(QStringLiteral("Waiting for connection ..."), QStringLiteral("label"));
            caption = find(QStringLiteral("Status:"), QStringLiteral("label"));
            return bar && status && caption && find(QStringLiteral("Cancel"), QStringLiteral("push button"));
        }));
        Reader reader(*a11y);
        const auto value = [&] {
            return reader.property(bar->ref, QStringLiteral("org.a11y.atspi.Value"), QStringLiteral("CurrentValue")).toDouble();
        };
        QCOMPARE(value(), 0.0);
        QCOMPARE(reader.property(bar->ref, QStringLiteral("org.a11y.atspi.Value"), QStringLiteral("MaximumValue")).toDouble(), 100.0);
        bool labelled = false;
        for (const Relation &relation : reader.call<QList<Relation>>(status->ref, QStringLiteral("GetRelationSet")))
            labelled |= relation.type == RelationLabelledBy && relation.targets.contains(caption->ref);
        QVERIFY(labelled);

        // A peer sends 20000 bytes in three steps: 25 %, 50 %, all.
        QTcpSocket peer;
        QObject::connect(&peer, &QTcpSocket::readyRead, &peer, [&] { wire += peer.readAll(); });
        QVERIFY(waitFor([&] {
            if (peer.state() == QAbstractSocket::UnconnectedState)
                peer.connectToHost(QHostAddress::LocalHost, port);
            return wire == "OK";
        }, 5000));
        peer.write("FNcopy.bin\\ 20000");
        QVERIFY(waitFor([&] { return wire == "OKSD"; }, 5000));
        const QByteArray bytes = randomBytes(20000);
        events.clear();
        for (const auto &[upTo, percent] : {std::pair(5000, 25.0), std::pair(10000, 50.0), std::pair(20000, 100.0)}) {
            peer.write(bytes.mid(upTo == 5000 ? 0 : upTo == 10000 ? 5000 : 10000, upTo == 20000 ? 10000 : 5000));
            QVERIFY2(waitFor([&] { return value() == percent; }, 5000), qPrintable(QString::number(value())));
        }
        QVERIFY(waitFor([&] { return find(QStringLiteral("Finished. (19.5 KB)"), QStringLiteral("label")).has_value(); }));
        QCOMPARE(contentOf(runtime.filePath("copy.bin")), bytes);
        // Both changes reached the screen reader as events, not only as new values when asked.
        QVERIFY(waitFor([&] {
            return events.contains(QStringLiteral("PropertyChange accessible-value ") + bar->ref.path.path())
                && events.contains(QStringLiteral("PropertyChange accessible-name ") + status->ref.path.path());
        }));
        QVERIFY(send("press CDBut"));
    }
};

QTEST_MAIN(tst_Accessibility)
#include "tst_accessibility.moc"
