// The windows as a screen reader reads them: the program runs on the test's own X server with its
// accessibility bridge on, and the test reads its tree from a private accessibility bus.
#include "displayrig.h"

namespace {
// An object on the accessibility bus: the connection that serves it and its path.
using Ref = std::pair<QString, QDBusObjectPath>;
using Relation = std::pair<uint, QList<Ref>>; // type, targets
constexpr uint RelationLabelledBy = 2;         // AT-SPI's ATSPI_RELATION_LABELLED_BY
using Control = std::pair<QString, QString>;   // name, role
const QString Accessible = u"org.a11y.atspi.Accessible"_s;

struct Node {
    Ref ref;
    QString name, role;
};
}

class tst_Accessibility : public QObject
{
    Q_OBJECT

    AccessibilityBus a11y;
    quint16 port = freePort();
    Driven program;
    QStringList events;

    template <typename T> T call(const Ref &ref, const QString &method, const QVariantList &args = {}, const QString &interface = Accessible)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(ref.first, ref.second.path(), interface, method);
        message.setArguments(args);
        const QDBusReply<T> reply = a11y.bus->call(message, QDBus::Block, 5000);
        return reply.isValid() ? reply.value() : T();
    }
    QVariant property(const Ref &ref, const QString &interface, const QString &name)
    {
        return call<QDBusVariant>(ref, u"Get"_s, {interface, name}, u"org.freedesktop.DBus.Properties"_s).variant();
    }
    // Every object under `ref`, depth first.
    QList<Node> tree(const Ref &ref)
    {
        QList<Node> found;
        for (const Ref &child : call<QList<Ref>>(ref, u"GetChildren"_s)) {
            found.append({child, property(child, Accessible, u"Name"_s).toString(), call<QString>(child, u"GetRoleName"_s)});
            found += tree(child);
        }
        return found;
    }
    // Everything under the program's own root on the accessibility bus.
    QList<Node> controls()
    {
        const Ref registry{u"org.a11y.atspi.Registry"_s, QDBusObjectPath("/org/a11y/atspi/accessible/root")};
        for (const Ref &app : call<QList<Ref>>(registry, u"GetChildren"_s))
            if (qint64(a11y.bus->interface()->servicePid(app.first).value()) == program.process.processId())
                return tree(app);
        return {};
    }
    std::optional<Node> find(const QString &name, const QString &role = {})
    {
        for (const Node &node : controls())
            if (node.name == name && (role.isEmpty() || node.role == role))
                return node;
        return std::nullopt;
    }

public:
    static void initMain() { ownXServerWhenOnX(); }

public slots:
    void propertyChanged(const QDBusMessage &message) { events << message.member() + u' ' + message.arguments().value(0).toString() + u' ' + message.path(); }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != u"xcb")
            QSKIP("Needs an X display");
        if (QStandardPaths::findExecutable(u"dbus-daemon"_s).isEmpty() || !QFile::exists(u"/usr/libexec/at-spi-bus-launcher"_s))
            QSKIP("dbus-daemon and at-spi2-core are not installed");
        const QString failed = a11y.start();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qDBusRegisterMetaType<Ref>();
        qDBusRegisterMetaType<QList<Ref>>();
        qDBusRegisterMetaType<Relation>();
        qDBusRegisterMetaType<QList<Relation>>();

        // A screen reader's interest in changes of names and values, as Orca registers it, so that
        // the program announces them.
        QDBusMessage listen = QDBusMessage::createMethodCall(u"org.a11y.atspi.Registry"_s, u"/org/a11y/atspi/registry"_s,
                                                             u"org.a11y.atspi.Registry"_s, u"RegisterEvent"_s);
        for (const QString &event : {u"object:property-change"_s, u"object:value-changed"_s}) {
            listen.setArguments({event, QStringList(), QString()});
            const QDBusMessage reply = a11y.bus->call(listen, QDBus::Block, 5000);
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorName() + u' ' + reply.errorMessage()));
        }
        QVERIFY(a11y.bus->connect({}, {}, u"org.a11y.atspi.Event.Object"_s, u"PropertyChange"_s, this, SLOT(propertyChanged(QDBusMessage))));

        // The program, with its accessibility bridge on as under a screen reader.
        QProcessEnvironment env = a11y.env;
        env.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        program.process.setProcessEnvironment(env);
        program.start(QStringLiteral(VELTRANE_DRIVER), {QString::number(port), a11y.runtime.filePath("copy.bin")},
                      QStringLiteral(VELTRANE_LEAK_SUPPRESSIONS));
        QVERIFY(waitFor([&] { return find(u"Send"_s, u"push button"_s).has_value(); }, 10000));
    }

    void cleanupTestCase()
    {
        program.process.closeWriteChannel();
        QCOMPARE(program.howItEnded(), u"exit 0"_s);
    }

    void everyControlHasANameAndItsRoleAndEscapeClosesTheDialogs()
    {
        const struct { QByteArray button; QString title; QList<Control> controls; } windows[] = {
            {{}, u"Veltrane"_s, {{"Send", "push button"}, {"Recieve", "push button"}, {"Exit", "push button"}, {"About", "push button"}}},
            {"AboutBut", u"About ..."_s,
             {{"Version:", "label"}, {"1.0.8", "label"}, {"Build:", "label"}, {"20020207", "label"}, {"Author:", "label"},
              {"Company:", "label"}, {"Veltrane", "graphic"}}},
            // The box is named by its prompt.
            {"SendBut", u"Connect ..."_s,
             {{"Connect", "push button"}, {"Address", "graphic"}, {"Enter the IP address of the reciever:", "label"},
              {"Enter the IP address of the reciever:", "text"}}}};
        for (const auto &[button, title, expected] : windows) {
            if (!button.isEmpty())
                QVERIFY(program.send("press " + button));
            QVERIFY2(waitFor([&] { return find(title, u"frame"_s).has_value(); }), qPrintable(title));
            const QList<Node> shown = controls();
            for (const auto &[name, role] : expected)
                QVERIFY2(std::any_of(shown.begin(), shown.end(), [&](const Node &node) { return node.name == name && node.role == role; }),
                         qPrintable(name + u' ' + role));
            // Nothing a user can reach stands there unnamed.
            for (const Node &node : shown)
                QVERIFY2(!node.name.isEmpty() || node.role == u"filler", qPrintable(node.role));
            // Escape closes a dialog as its frame would.
            if (!button.isEmpty())
                QVERIFY(waitFor([&] { return program.send("key Escape") && !find(title); }));
        }
    }

    void theBarFollowsTheTransferAndTheStatusIsLabelledAndAnnounced()
    {
        QVERIFY(program.send("press RecBut"));
        std::optional<Node> bar, status, caption;
        QVERIFY(waitFor([&] {
            bar = find(u"Progress"_s, u"progress bar"_s);
            status = find(u"Waiting for connection ..."_s, u"label"_s);
            caption = find(u"Status:"_s, u"label"_s);
            return bar && status && caption && find(u"Cancel"_s, u"push button"_s);
        }));
        const auto value = [&](const QString &which) { return property(bar->ref, u"org.a11y.atspi.Value"_s, which).toDouble(); };
        QCOMPARE(value(u"CurrentValue"_s), 0.0);
        QCOMPARE(value(u"MaximumValue"_s), 100.0);
        QVERIFY(call<QList<Relation>>(status->ref, u"GetRelationSet"_s).contains(Relation(RelationLabelledBy, {caption->ref})));

        // A peer sends 20000 bytes in three steps: 25 %, 50 %, all.
        QTcpSocket peer;
        QByteArray wire;
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
        for (int sent = 0; const int upTo : {5000, 10000, 20000}) {
            peer.write(bytes.mid(sent, upTo - sent));
            sent = upTo;
            QTRY_COMPARE_WITH_TIMEOUT(value(u"CurrentValue"_s), upTo / 200.0, 5000);
        }
        QVERIFY(waitFor([&] { return find(u"Finished. (19.5 KB)"_s, u"label"_s).has_value(); }));
        QCOMPARE(contentOf(a11y.runtime.filePath("copy.bin")), bytes);
        // Both changes reached the screen reader as events, not only as new values when asked.
        QVERIFY(waitFor([&] {
            return events.contains("PropertyChange accessible-value "_L1 + bar->ref.second.path())
                && events.contains("PropertyChange accessible-name "_L1 + status->ref.second.path());
        }));
        QVERIFY(program.send("press CDBut"));
    }
};

QTEST_MAIN(tst_Accessibility)
#include "tst_accessibility.moc"
