// The five windows rendered offscreen: their layout, their painted pixels, and the about window's round trip.

#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "bartables.h"
#include "transfer/pbform.h"
#include "transfer/procwin.h"

#include <QtTest>

static QImage shot(QWidget *w) { return rgb(w->grab().toImage()); }

class TestLayout : public QObject
{
    Q_OBJECT
    MainWin transferMain;
    ProcWin transfer{transferMain, 0}; // only loaded, never activated
    MainWin &main = MainWin::instance();
    IPWin &ip = IPWin::instance();
    AboutWin &about = AboutWin::instance();

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }
    void cleanup() { ip.Unload(); about.Unload(); }

    void windowsAndControlsStandWhereTheTablesPutThem()
    {
        for (Form *form : std::initializer_list<Form *>{&main, &transfer, &ip, &about}) form->Load();
        const auto &L = about.Label;
        struct Ctl { QWidget *w; QRect rect; const char *text; qreal points; bool bold; };
        const Ctl controls[] = {
            {main.AboutBut, {336, 160, 17, 17}, "", 0, 0}, {main.ExitBut, {240, 90, 80, 60}, "Exit", 0, 0},
            {main.RecBut, {140, 90, 80, 60}, "Recieve", 0, 0}, {main.SendBut, {40, 90, 80, 60}, "Send", 0, 0},
            {ip.ConBut, {94, 78, 100, 25}, "Connect", 0, 0}, {ip.IPBox, {60, 44, 200, 20}, "127.0.0.1", 0, 0},
            {ip.IPIcon, {16, 16, 32, 32}, nullptr, 0, 0},
            {ip.IPLab, {60, 20, 208, 16}, "Enter the IP address of the reciever:", 9.75, 1},
            {transfer.CDBut, {130, 140, 100, 25}, "", 0, 0}, {transfer.ProcBar, {88, 104, 203, 13}, nullptr, 0, 0},
            {transfer.StatBox, {88, 75, 240, 20}, "", 9.75, 1}, {transfer.StatLab, {25, 72, 50, 20}, "Status:", 12, 1},
            {about.AboutIcon, {16, 16, 32, 32}, nullptr, 0, 0}, {L[7], {140, 96, 165, 15}, nullptr, 9.75, 0},
            {L[6], {140, 70, 80, 15}, nullptr, 9.75, 0}, {L[5], {140, 45, 80, 15}, "20020207", 9.75, 0},
            {L[4], {140, 20, 80, 15}, "1.0.8", 9.75, 0}, {L[3], {70, 95, 60, 15}, "Company:", 9.75, 1},
            {L[2], {70, 70, 50, 15}, "Author:", 9.75, 1}, {L[1], {70, 45, 50, 15}, "Build:", 9, 1},
            {L[0], {70, 20, 50, 15}, "Version:", 9.75, 1}};
        for (const auto &[w, rect, text, points, bold] : controls) {
            QCOMPARE(w->geometry(), rect);
            if (text) QCOMPARE(w->property("text").toString(), QLatin1String(text));
            if (points == 0) continue;
            const QFontInfo info(w->font());
            QVERIFY(QStringList({"Liberation Serif", "Times New Roman"}).contains(info.family()));
            QCOMPARE(w->font().pointSizeF(), points);
            QVERIFY(info.bold() == bold && !info.italic() && !info.underline() && !info.strikeOut());
        }
        const auto tabCycle = [](QWidget *w) { // the focusable controls in the order Tab visits them
            QWidgetList cycle{w};
            while ((w = w->nextInFocusChain()) != cycle[0]) if (w->focusPolicy() & Qt::TabFocus) cycle.append(w);
            return cycle;
        };
        QCOMPARE(tabCycle(main.SendBut), (QWidgetList{main.SendBut, main.RecBut, main.ExitBut, main.AboutBut}));
        QCOMPARE(tabCycle(ip.IPBox), (QWidgetList{ip.IPBox, ip.ConBut}));
        QCOMPARE(main.window()->focusWidget(), main.SendBut.data());
        QCOMPARE(ip.window()->focusWidget(), ip.IPBox.data());

        // Only the two large windows resize or minimise, none maximises; the dialog stays off the taskbar.
        QVERIFY(ip.window()->windowFlags() & Qt::Tool);
        struct Win { Form *form; QSize client; const char *caption; bool icon, fixed; };
        const Win windows[] = {{&main, {360, 180}, "Veltrane", true, false}, {&transfer, {360, 180}, "Veltrane", 0, 0},
                               {&ip, {286, 120}, "Connect ...", 0, 1}, {&about, {305, 130}, "About ...", 0, 1},
                               {&PBForm::instance(), {200, 100}, "Process Bar Data", 0, 1}};
        for (const auto &[form, client, caption, icon, fixed] : windows) {
            const QWidget *win = form->window();
            QCOMPARE(win->windowTitle(), QLatin1String(caption));
            QCOMPARE(win->size(), client);
            QVERIFY(!win->windowIcon().isNull() == icon && (win->minimumSize() == win->maximumSize()) == fixed
                    && !(win->windowFlags() & Qt::WindowMaximizeButtonHint));
            QCOMPARE(!(win->windowFlags() & Qt::WindowMinimizeButtonHint), fixed);
        }
    }

    void backgroundLabelsAndPicturesShowAsPainted()
    {
        const QImage sky = rgb(MainWin::background().toImage());
        transfer.setPicture(MainWin::background());
        transfer.StatBox->setText(QStringLiteral("Waiting for connection ..."));
        for (QWidget *win : {main.window(), transfer.window()}) {
            const QImage shown = shot(win);
            // The picture reaches every edge with no strip of face; only the controls, and no more than
            // the run of a transparent label's text, cover it.
            QRegion covered;
            for (QWidget *c : win->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                QRect r = c->geometry();
                if (auto *label = qobject_cast<QLabel *>(c)) {
                    r.setSize({c->fontMetrics().horizontalAdvance(label->text()) + 2, c->fontMetrics().height() + 1});
                    QVERIFY2(shown.copy(r) != sky.copy(r), qPrintable(label->text()));
                }
                covered += r;
            }
            for (int y = 0; y < 180; ++y)
                for (int x = 0; x < 360; ++x)
                    if (!covered.contains(QPoint(x, y)) && shown.pixel(x, y) != sky.pixel(x, y))
                        QFAIL(qPrintable(QStringLiteral("background differs at %1,%2").arg(x).arg(y)));
        }
        QCOMPARE(shot(transfer.window()).copy(88, 104, 203, 13), barWith());

        // The white of each GIF89a picture takes the face colour. The picture stands unscaled at a box's corner,
        // or centred above a button's caption, where only the face inside the two-pixel edge is judged.
        ip.Load(), about.Load();
        struct Pic { QWidget *w; const char *name; int edge = 0; };
        const Pic pictures[] = {{main.SendBut, "send", 2}, {main.RecBut, "receive", 2}, {main.ExitBut, "exit", 2},
                                {main.AboutBut, "about", 2}, {ip.IPIcon, "address"}, {about.AboutIcon, "aboutwin"}};
        for (const auto &[w, name, edge] : pictures) {
            const QImage raw(QStringLiteral(":/pictures/%1.gif").arg(name));
            const QImage grab = shot(w->window()).copy(w->geometry());
            const int caption = w->property("text").toString().isEmpty() ? 0 : w->fontMetrics().height();
            const QSize room = grab.size() - raw.size() - QSize(0, caption);
            const QPoint at = edge ? QPoint(room.width() / 2, room.height() / 2) : QPoint();
            for (int y = 0; y < raw.height(); ++y)
                for (int x = 0; x < raw.width(); ++x) {
                    const QRgb p = raw.pixel(x, y); // every white pixel is the transparent entry
                    QVERIFY2(qAlpha(p) == 0 || (p & 0xFFFFFF) != 0xFFFFFF, name);
                    if (qAlpha(p) || grab.rect().adjusted(edge, edge, -edge, -edge).contains(at + QPoint(x, y)))
                        QCOMPARE(grab.pixel(at + QPoint(x, y)), qAlpha(p) ? p | 0xFF000000 : 0xFFE0E0E0);
                }
        }
    }

    void aboutWindowDisablesTheMainWindowUntilClosed()
    {
        main.Show();
        for (int round = 0; round < 3; ++round) {
            QTest::mouseClick(main.AboutBut, Qt::LeftButton);
            QVERIFY(about.window()->isVisible() && !main.window()->isEnabled());
            about.window()->close();
            QVERIFY(!about.isLoaded() && main.window()->isEnabled() && main.window()->isVisible());
        }
        QTest::mouseClick(main.SendBut, Qt::LeftButton);
        QVERIFY(ip.window()->isVisible() && !main.window()->isEnabled());
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
