// The windows under a real compositor that ignores where programs ask to put their windows: a
// headless sway, with the program on Wayland natively and through XWayland. And the program's
// start where there is no display at all.
#include "displayrig.h"

namespace {
using Platform = std::tuple<QString, QString, QString>;         // tag, QT_QPA_PLATFORM, sway's shell
using Row = std::pair<Platform, Window>;
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
        return shot.copy(SendButArea) != background.copy(SendButArea) ? u"start"_s : u"transfer"_s;
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
        QList<Row> rows;
        for (const Platform &platform : {Platform{"native", {}, "xdg_shell"}, Platform{"XWayland", "xcb", "xwayland"}})
            for (const Window &window : Windows)
                rows.append({platform, window});
        addRows(rows, [](const Row &row) { return std::get<0>(row.first) + u' ' + row.second.tag; });
    }
    void everyWindowFloatsAtItsSizeAndTheViewsKeepOnePlace()
    {
        QFETCH(Row, row);
        const auto &[tag, platform, shell] = row.first;
        const Window &window = row.second;
        // The program as its user starts it, run as the compositor's account.
        Driven program;
        QProcessEnvironment env = sway.base();
        if (!platform.isEmpty())
            env.insert(u"QT_QPA_PLATFORM"_s, platform);
        sway.prepare(program.process, env);
        program.start(driver, {QString::number(freePort())}, suppressions);
        const qint64 pid = program.process.processId();

        // Moved somewhere first, by its user.
        const std::optional<View> start = sway.view(pid, u"Veltrane"_s, 10000);
        QVERIFY(start);
        QVERIFY(sway.command(*start, u"move position 123 77"_s));
        std::optional<View> moved;
        QVERIFY(waitFor([&] {
            moved = sway.view(pid, u"Veltrane"_s);
            return moved && moved->client.topLeft() != start->client.topLeft() && shows(*moved) == u"start";
        }, 5000));

        if (!window.button.isEmpty())
            QVERIFY(program.send("press " + window.button));
        const std::optional<View> shown = sway.view(pid, window.title, 10000);
        QVERIFY(shown);
        QCOMPARE(shown->shell, shell);
        QVERIFY(shown->floating);
        QCOMPARE(shown->client.size(), window.size);
        QCOMPARE(shown->surface, window.size);
        // The transfer view, and the start view again after it, in the one window, in its place.
        for (const QString &view : window.tag == u"transfer" ? QStringList{u"transfer"_s, u"start"_s} : QStringList()) {
            if (view == u"start")
                QVERIFY(program.send("press CDBut"));
            QVERIFY2(waitFor([&] { return shows(*moved) == view; }, 5000), qPrintable(view));
            const QList<View> views = sway.views(pid);
            QCOMPARE(views.size(), 1);
            QCOMPARE(views.first().id, moved->id);
            QCOMPARE(views.first().client, moved->client);
        }

        // Asked to grow, the program keeps drawing its size. (Sway's own frame obeys the command
        // whatever the window's limits say; a drag with the mouse does not.)
        QVERIFY(sway.command(*shown, u"resize set 600 400"_s));
        QTest::qWait(300);
        QVERIFY(waitFor([&] { return sway.view(pid, window.title).value_or(View()).surface == window.size; }));
        // A dialog closed by the close control of its title bar; the start window takes commands
        // again, and Exit ends the program cleanly.
        if (window.title != u"Veltrane") {
            QVERIFY(sway.command(*shown, u"kill"_s));
            QVERIFY(waitFor([&] { return sway.views(pid).size() == 1; }));
        }
        QVERIFY(program.send("press ExitBut"));
        QCOMPARE(program.howItEnded(), u"exit 0"_s);
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
        env.insert(u"PATH"_s, u"/usr/bin:/bin"_s);
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
