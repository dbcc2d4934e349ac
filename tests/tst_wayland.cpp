// The windows under a real compositor that ignores where programs ask to put their windows: a
// headless sway, with the program on Wayland natively and through XWayland. And the program's
// start where there is no display at all.
#include "compositor.h"
#include "datarows.h"

namespace {
using Platform = std::tuple<QString, QString, QString>;         // tag, QT_QPA_PLATFORM, sway's shell
using NoDisplay = std::tuple<QString, QStringList, QStringList>; // tag, environment, arguments

// Where the start view's Send button stands, the transfer view shows only the background.
const QRect SendButArea(40, 95, 40, 40);
}

class tst_Wayland : public QObject
{
    Q_OBJECT

    Compositor sway;
    QString driver, suppressions;
    const QImage background = MainWin::background().toImage().convertToFormat(QImage::Format_RGB32);

    // Which view the client area shows: first the background picture along its top, where no
    // control stands in either view (else it is not drawn there yet), then the Send button or not.
    QString shows(const View &view) const
    {
        const QImage shot = sway.shoot(view.client);
        if (shot.size() != QSize(360, 180) || shot.copy(0, 0, 360, 60) != background.copy(0, 0, 360, 60))
            return {};
        return shot.copy(SendButArea) != background.copy(SendButArea) ? QStringLiteral("start") : QStringLiteral("transfer");
    }

private slots:
    void initTestCase()
    {
        if (const QString why = sway.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        driver = sway.copyForAccount(QStringLiteral(VELTRANE_DRIVER));
        suppressions = sway.copyForAccount(QStringLiteral(VELTRANE_LEAK_SUPPRESSIONS));
        QVERIFY(!driver.isEmpty() && !suppressions.isEmpty());
    }

    void everyWindowFloatsAtItsSizeAndTheViewsKeepOnePlace_data()
    {
        // Qt's own choice in a session with both displays, then X through XWayland.
        addRows(QList<Platform>{{"native", {}, "xdg_shell"}, {"XWayland", "xcb", "xwayland"}},
                [](const Platform &row) { return std::get<0>(row); });
    }
    void everyWindowFloatsAtItsSizeAndTheViewsKeepOnePlace()
    {
        QFETCH(Platform, row);
        const auto &[tag, platform, shell] = row;
        // The program as its user starts it, run as the compositor's account.
        Driven program;
        QProcessEnvironment env = sway.base();
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        sway.prepare(program.process, env);
        program.start(driver, {QString::number(freePort())}, suppressions);
        const qint64 pid = program.process.processId();

        const std::optional<View> start = sway.view(pid, QStringLiteral("Veltrane"), 10000);
        QVERIFY(start);
        QCOMPARE(start->shell, shell);
        QVERIFY(start->floating);
        QCOMPARE(start->client.size(), QSize(360, 180));
        QCOMPARE(start->surface, QSize(360, 180));

        // Moved somewhere, then through the transfer view and back: one window, one place.
        QVERIFY(sway.command(QStringLiteral("[con_id=%1] move position 123 77").arg(start->id)));
        std::optional<View> moved;
        QVERIFY(waitFor([&] {
            moved = sway.view(pid, QStringLiteral("Veltrane"));
            return moved && moved->client.topLeft() != start->client.topLeft() && shows(*moved) == u"start";
        }, 5000));
        for (const auto &[button, view] : {std::pair("RecBut", "transfer"), std::pair("CDBut", "start")}) {
            QVERIFY(program.send(QByteArray("press ") + button));
            QVERIFY2(waitFor([&] { return shows(*moved) == QLatin1String(view); }, 5000), view);
            const QList<View> shown = sway.views(pid);
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown.first().id, moved->id);
            QCOMPARE(shown.first().client, moved->client);
        }

        // Asked to grow, the program keeps drawing 360 x 180. (Sway's own frame obeys the command
        // whatever the window's limits say; a drag with the mouse does not.)
        QVERIFY(sway.command(QStringLiteral("[con_id=%1] resize set 600 400").arg(start->id)));
        QTest::qWait(300);
        QVERIFY(waitFor([&] { return sway.view(pid, QStringLiteral("Veltrane")).value_or(View()).surface == QSize(360, 180); }));

        const struct { QByteArray button; QString title; QSize size; } dialogs[] = {
            {"SendBut", QStringLiteral("Connect ..."), {286, 120}}, {"AboutBut", QStringLiteral("About ..."), {305, 130}}};
        for (const auto &[button, title, size] : dialogs) {
            QVERIFY(program.send("press " + button));
            const std::optional<View> dialog = sway.view(pid, title, 10000);
            QVERIFY2(dialog, qPrintable(title));
            QVERIFY(dialog->floating);
            QCOMPARE(dialog->client.size(), size);
            // What the close control of its title bar sends.
            QVERIFY(sway.command(QStringLiteral("[con_id=%1] kill").arg(dialog->id)));
            QVERIFY(waitFor([&] { return sway.views(pid).size() == 1; }));
        }
        // The start window takes commands again, and Exit ends the program cleanly.
        QVERIFY(program.send("press ExitBut"));
        QVERIFY(program.process.waitForFinished(5000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
    }

    void withoutAnyDisplayItSaysSoAndFails_data()
    {
        addRows(QList<NoDisplay>{{"nothing", {}, {}},
                                 {"nobody at the addresses", {"WAYLAND_DISPLAY=wayland-none", "DISPLAY=:4093", "XDG_RUNTIME_DIR=/tmp"}, {}},
                                 {"Wayland asked for", {"QT_QPA_PLATFORM=wayland", "XDG_SESSION_TYPE=wayland"}, {}},
                                 {"X asked for on the command line", {}, {"-platform", "xcb", "-display", ":4093"}}},
                [](const NoDisplay &row) { return std::get<0>(row); });
    }
    void withoutAnyDisplayItSaysSoAndFails()
    {
        QFETCH(NoDisplay, row);
        const auto &[tag, settings, args] = row;
        QProcess program;
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        for (const QString &setting : settings)
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
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
