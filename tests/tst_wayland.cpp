// The windows under a real compositor that ignores where programs ask to put their windows: a
// headless sway, with the program on Wayland natively and through XWayland. And the program's
// start where there is no display at all.
#include "compositor.h"
#include "datarows.h"

namespace {
using Platform = std::tuple<QString, QString, QString>; // tag, QT_QPA_PLATFORM, sway's shell
using Env = std::pair<QString, QStringList>;           // tag, environment

// The program as its user starts it, run as the compositor's account and driven through stdin.
struct Program {
    QProcess process;
    Program(const Compositor &sway, const QString &driver, const QString &platform, quint16 port)
    {
        QProcessEnvironment env = sway.base();
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        if (qEnvironmentVariableIsSet("UBSAN_OPTIONS"))
            env.insert(QStringLiteral("UBSAN_OPTIONS"), qEnvironmentVariable("UBSAN_OPTIONS"));
        // Whole stacks, so that what Qt's platform plugins leave is told apart from ours.
        env.insert(QStringLiteral("ASAN_OPTIONS"), qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":fast_unwind_on_malloc=0"));
        env.insert(QStringLiteral("LSAN_OPTIONS"),
                   QStringLiteral("suppressions=") + sway.copyForAccount(QStringLiteral(VELTRANE_LEAK_SUPPRESSIONS)));
        sway.prepare(process, env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(driver, {QString::number(port)});
    }
    ~Program()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    // Runs one step, as the user would, and waits until it has run.
    bool send(const QByteArray &line)
    {
        process.write(line + '\n');
        return waitFor([&] { return process.canReadLine() && process.readLine().trimmed() == line; }, 5000);
    }
};

// Where the start window's Send button stands, the transfer window shows only the background.
const QRect SendButArea(40, 95, 40, 40);
}

class tst_Wayland : public QObject
{
    Q_OBJECT

    Compositor sway;
    QString driver;
    const QImage background = MainWin::background().toImage().convertToFormat(QImage::Format_RGB32);

    static void addPlatforms()
    {
        // Qt's own choice in a session with both displays, then X through XWayland.
        addRows(QList<Platform>{{"native", {}, "xdg_shell"}, {"XWayland", "xcb", "xwayland"}},
                [](const Platform &row) { return std::get<0>(row); });
    }

    std::optional<View> waitForView(const Program &program, const QString &name)
    {
        std::optional<View> found;
        waitFor([&] { return (found = sway.view(program.process.processId(), name)).has_value(); }, 10000);
        return found;
    }

    // Whether the client area shows the background picture along its top, where no control
    // stands in either window, and whether it shows the Send button.
    bool showsBackgroundAlongTheTop(const View &view)
    {
        const QImage shot = sway.shoot(view.client);
        return shot.size() == QSize(360, 180) && shot.copy(0, 0, 360, 60) == background.copy(0, 0, 360, 60);
    }
    bool showsSendBut(const View &view)
    {
        return sway.shoot(view.client).copy(SendButArea) != background.copy(SendButArea);
    }

private slots:
    void initTestCase()
    {
        if (const QString why = sway.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        driver = sway.copyForAccount(QStringLiteral(VELTRANE_DRIVER));
        QVERIFY(!driver.isEmpty());
    }

    void startAndTransferWindowKeepOnePlaceAtAFixedSize_data() { addPlatforms(); }
    void startAndTransferWindowKeepOnePlaceAtAFixedSize()
    {
        QFETCH(Platform, row);
        const auto &[tag, platform, shell] = row;
        Program program(sway, driver, platform, freePort());
        const std::optional<View> start = waitForView(program, QStringLiteral("Veltrane"));
        QVERIFY(start);
        QCOMPARE(start->shell, shell);
        QVERIFY(start->floating);
        QCOMPARE(start->client.size(), QSize(360, 180));
        QCOMPARE(start->surface, QSize(360, 180));

        // Moved somewhere, then through a transfer window and back: one window, one place.
        QVERIFY(sway.command(QStringLiteral("[con_id=%1] move position 123 77").arg(start->id)));
        // Settled once sway has placed it and drawn it there.
        std::optional<View> moved;
        QVERIFY(waitFor([&] {
            moved = sway.view(program.process.processId(), QStringLiteral("Veltrane"));
            return moved && moved->frame.topLeft() != start->frame.topLeft() && showsBackgroundAlongTheTop(*moved)
                && showsSendBut(*moved);
        }, 5000));

        QVERIFY(program.send("press RecBut"));
        QVERIFY(waitFor([&] { return !showsSendBut(*moved) && showsBackgroundAlongTheTop(*moved); }, 5000));
        QList<View> shown = sway.views(program.process.processId());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().id, moved->id);
        QCOMPARE(shown.first().client, moved->client);

        QVERIFY(program.send("press CDBut"));
        QVERIFY(waitFor([&] { return showsSendBut(*moved) && showsBackgroundAlongTheTop(*moved); }, 5000));
        shown = sway.views(program.process.processId());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().id, moved->id);
        QCOMPARE(shown.first().client, moved->client);

        // Asked to grow, the program keeps drawing 360 x 180. (Sway's own frame obeys the command
        // whatever the window's limits say; a drag with the mouse does not.)
        QVERIFY(sway.command(QStringLiteral("[con_id=%1] resize set 600 400").arg(start->id)));
        QTest::qWait(300);
        QVERIFY(waitFor([&] { return sway.view(program.process.processId(), QStringLiteral("Veltrane"))->surface == QSize(360, 180); }));
    }

    void dialogsFloatAtTheirSizeAndCloseByTheirFrame_data() { addPlatforms(); }
    void dialogsFloatAtTheirSizeAndCloseByTheirFrame()
    {
        QFETCH(Platform, row);
        Program program(sway, driver, std::get<1>(row), freePort());
        QVERIFY(waitForView(program, QStringLiteral("Veltrane")));
        const struct { QByteArray button; QString title; QSize size; } dialogs[] = {
            {"SendBut", QStringLiteral("Connect ..."), {286, 120}}, {"AboutBut", QStringLiteral("About ..."), {305, 130}}};
        for (const auto &[button, title, size] : dialogs) {
            QVERIFY(program.send("press " + button));
            const std::optional<View> dialog = waitForView(program, title);
            QVERIFY2(dialog, qPrintable(title));
            QVERIFY(dialog->floating);
            QCOMPARE(dialog->client.size(), size);
            // What the close control of its title bar sends.
            QVERIFY(sway.command(QStringLiteral("[con_id=%1] kill").arg(dialog->id)));
            QVERIFY(waitFor([&] { return !sway.view(program.process.processId(), title); }));
            QCOMPARE(sway.views(program.process.processId()).size(), 1);
        }
        // The start window takes commands again, and Exit ends the program cleanly.
        QVERIFY(program.send("press ExitBut"));
        QVERIFY(program.process.waitForFinished(5000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
    }

    void withoutAnyDisplayItSaysSoAndFails_data()
    {
        addRows(QList<Env>{{"nothing", {}},
                           {"nobody at the addresses", {"WAYLAND_DISPLAY=wayland-none", "DISPLAY=:4093", "XDG_RUNTIME_DIR=/tmp"}},
                           {"Wayland asked for", {"QT_QPA_PLATFORM=wayland", "XDG_SESSION_TYPE=wayland"}},
                           {"X asked for on the command line", {"ARGS=-platform xcb -display :4093"}}},
                [](const Env &row) { return row.first; });
    }
    void withoutAnyDisplayItSaysSoAndFails()
    {
        QFETCH(Env, row);
        QProcess program;
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        for (const QString &setting : row.second)
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        const QStringList args = env.value(QStringLiteral("ARGS")).split(u' ', Qt::SkipEmptyParts);
        env.remove(QStringLiteral("ARGS"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VELTRANE_PROGRAM), args);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        const QByteArray said = program.readAllStandardError();
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.startsWith("veltrane: no display"), said.constData());
        QVERIFY(program.readAllStandardOutput().isEmpty());
    }
};

QTEST_MAIN(tst_Wayland)
#include "tst_wayland.moc"
