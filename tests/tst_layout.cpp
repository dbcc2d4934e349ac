// The windows rendered offscreen: their tab order and their painted pixels; and the pictures as
// the program finds them in its resources, formats and sizes.

#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "bartables.h"
#include "datarows.h"
#include "app/pbform.h"
#include "app/procwin.h"

#include <QImageReader>
#include <QtTest>

using Picture = std::tuple<QString, QSize, QByteArray>;
static QImage shot(QWidget *w) { return rgb(w->grab().toImage()); }

class TestLayout : public QObject
{
    Q_OBJECT
    MainWin transferMain;
    ProcWin transfer{transferMain, transferMain, 0}; // only loaded, never activated
    MainWin &main = MainWin::instance();
    IPWin &ip = IPWin::instance();
    AboutWin &about = AboutWin::instance();

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }
    void cleanup() { ip.Unload(); about.Unload(); }

    void tabVisitsTheControlsInOrderFromTheFirst()
    {
        main.Load(), ip.Load();
        const auto tabCycle = [](QWidget *w) { // the focusable controls in the order Tab visits them
            QWidgetList cycle{w};
            while ((w = w->nextInFocusChain()) != cycle[0]) if (w->focusPolicy() & Qt::TabFocus) cycle.append(w);
            return cycle;
        };
        QCOMPARE(tabCycle(main.SendBut), (QWidgetList{main.SendBut, main.RecBut, main.ExitBut, main.AboutBut}));
        QCOMPARE(tabCycle(ip.IPBox), (QWidgetList{ip.IPBox, ip.ConBut}));
        QCOMPARE(main.window()->focusWidget(), main.SendBut.data());
        QCOMPARE(ip.window()->focusWidget(), ip.IPBox.data());
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
            const QImage grab = shot(w->parentWidget()).copy(w->geometry());
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

    void everyPictureHasItsFormatAndSize_data()
    {
        // The first six are GIF89a, whose white is transparent; the bar and its slices GIF87a.
        QList<Picture> pictures = {
            {"send.gif", {32, 32}, "GIF89a"},  {"receive.gif", {32, 32}, "GIF89a"},  {"exit.gif", {32, 32}, "GIF89a"},
            {"about.gif", {16, 16}, "GIF89a"}, {"address.gif", {32, 32}, "GIF89a"}, {"aboutwin.gif", {32, 32}, "GIF89a"},
            {"bar.gif", {203, 13}, "GIF87a"},  {"background.bmp", {360, 180}, "BM"},  {"icon.ico", {32, 32}, QByteArray("\0\0\1\0", 4)}};
        for (int i = 0; i < 8; ++i)
            pictures.append({QStringLiteral("slice%1.gif").arg(i), {1, 10}, "GIF87a"});
        addRows(pictures, [](const Picture &row) { return std::get<0>(row); });
    }
    void everyPictureHasItsFormatAndSize()
    {
        QFETCH(Picture, row);
        const auto &[name, size, signature] = row;
        QFile file(":/pictures/" + name);
        QVERIFY(file.open(QFile::ReadOnly) && file.read(signature.size()) == signature);
        QVERIFY(!name.endsWith(u".bmp") || (file.seek(28) && file.read(2) == QByteArray("\x18\0", 2))); // 24 bits a pixel
        QImageReader reader(file.fileName());
        QVERIFY(reader.imageCount() == 1 && reader.size() == size);
        QCOMPARE(reader.read().hasAlphaChannel(), signature == "GIF89a" || name == u"icon.ico");
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
