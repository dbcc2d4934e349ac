#include "app/mainwin.h"
#include "transfer/procwin.h"

#include <QLocale>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <map>
#include <memory>

namespace {

// The empty bar, typed from its pixel table: one row per row group, five column groups
// (column 0, column 1, columns 2 to 200, column 201, column 202).
const QRgb BarTable[6][5] = {
    {0x888888, 0x888888, 0x888888, 0x888888, 0x888888}, // row 0
    {0x888888, 0x000000, 0x000000, 0x000000, 0x000000}, // row 1
    {0x888888, 0x000000, 0x888888, 0xBBBBBB, 0x000000}, // row 2
    {0x888888, 0x000000, 0xBBBBBB, 0xDDDDDD, 0x000000}, // rows 3 to 10
    {0x888888, 0x000000, 0xDDDDDD, 0xDDDDDD, 0x000000}, // row 11
    {0x888888, 0x000000, 0x000000, 0x000000, 0x000000}, // row 12
};

// The eight slices, top to bottom.
const QRgb SliceTable[8][10] = {
    {0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC, 0x6666CC},
    {0x6666CC, 0x9999FF, 0xCCCCFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xCCCCFF, 0x9999FF, 0x6666CC, 0x333399},
    {0x333399, 0x6666CC, 0x9999FF, 0xCCCCFF, 0xFFFFFF, 0xCCCCFF, 0x9999FF, 0x6666CC, 0x333399, 0x000055},
    {0x333399, 0x6666CC, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x000055},
    {0x333399, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055},
    {0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000},
    {0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555},
    {0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888},
};

// Which slice shows in which column; columns not named keep the empty bar.
using Layout = std::map<int, int>;

QImage reference(const Layout &layout = {})
{
    QImage image(203, 13, QImage::Format_RGB32);
    for (int y = 0; y < 13; ++y) {
        const int row = y < 3 ? y : y <= 10 ? 3 : y - 7;
        for (int x = 0; x < 203; ++x) {
            const int column = x < 2 ? x : x <= 200 ? 2 : x - 198;
            image.setPixel(x, y, 0xFF000000 | BarTable[row][column]);
        }
    }
    for (const auto &[x, slice] : layout) {
        for (int y = 0; y < 10 && x < 203; ++y)
            image.setPixel(x, y + 2, 0xFF000000 | SliceTable[slice][y]);
    }
    return image;
}

// A bar at p of 5 or more: body from `from` up to the head, head of five columns ending at 2p + 3.
Layout tube(int p, int from, Layout layout = {})
{
    for (int x = from; x <= 2 * p - 2; ++x)
        layout[x] = 2;
    for (int i = 0; i < 5; ++i)
        layout[2 * p - 1 + i] = 3 + i;
    return layout;
}

// Names the first differing pixel, so a failure says where the bar went wrong.
QString difference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2").arg(actual.width()).arg(actual.height());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            if (qRgb(qRed(actual.pixel(x, y)), qGreen(actual.pixel(x, y)), qBlue(actual.pixel(x, y)))
                != expected.pixel(x, y))
                return QStringLiteral("pixel %1,%2 is #%3, not #%4")
                    .arg(x)
                    .arg(y)
                    .arg(actual.pixel(x, y) & 0xFFFFFF, 6, 16, QChar(u'0'))
                    .arg(expected.pixel(x, y) & 0xFFFFFF, 6, 16, QChar(u'0'));
    return {};
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A loaded transfer window of the test's own, with its own settings holder.
struct Transfer {
    MainWin main;
    std::unique_ptr<ProcWin> win;

    explicit Transfer(quint8 mode)
    {
        main.XferMode = mode;
        main.PeerIP = QStringLiteral("127.0.0.1");
        win = std::make_unique<ProcWin>(main, freePort());
        win->Load();
    }
    void draw(qint32 done, qint32 size)
    {
        win->BytesDone = done;
        win->FileSize = size;
        win->DrawProcess();
    }
    QString bar() const { return difference(win->ProcBar->Picture(), expected); }
    QImage expected = reference();
};

} // namespace

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }
    void kilobytesRoundToEvenInTheUsersNotation();
    void percentageTiesAndSentences();
    void skippedStepsBelowFivePercentLeaveTheirColumns();
    void firstCallsAtTenAndAtAHundredPercent();
    void unchangedPercentageRepaintsTheSame();
    void fullRunInOnePercentSteps();
    void barIsEmptyBeforeTheFirstCallAndSurvivesHiding();
};

void TestProgress::kilobytesRoundToEvenInTheUsersNotation()
{
    const auto restore = qScopeGuard([saved = QLocale()] { QLocale::setDefault(saved); });
    const qint32 bytes[] = {0, 256, 768, 1280, 2560, 100000, 4096, 2147483647};
    const char *english[] = {"0", "0.2", "0.8", "1.2", "2.5", "97.7", "4", "2097152"};
    const char *german[] = {"0", "0,2", "0,8", "1,2", "2,5", "97,7", "4", "2097152"};

    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    for (size_t i = 0; i < std::size(bytes); ++i)
        QCOMPARE(ProcWin::K(bytes[i]), QString::fromLatin1(english[i]));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    for (size_t i = 0; i < std::size(bytes); ++i)
        QCOMPARE(ProcWin::K(bytes[i]), QString::fromLatin1(german[i]));
    Transfer t(MainWin::Send);
    t.draw(100000, 819200);
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Sending file ... (97,7 KB of 800 KB)"));
}

void TestProgress::percentageTiesAndSentences()
{
    Transfer t(MainWin::Send);
    QCOMPARE(t.win->CDBut->text(), QStringLiteral("Cancel"));
    t.draw(4096, 819200);
    QCOMPARE(t.win->BarDrawn, 0);
    QCOMPARE(t.bar(), QString());
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Sending file ... (4 KB of 800 KB)"));

    t.draw(12288, 819200);
    QCOMPARE(t.win->BarDrawn, 2);
    t.expected = reference({{4, 2}, {5, 3}});
    QCOMPARE(t.bar(), QString());
    t.draw(20480, 819200);
    QCOMPARE(t.win->BarDrawn, 2);
    QCOMPARE(t.bar(), QString());

    // 99.5 % rounds to a full bar while the transfer still runs.
    t.draw(995, 1000);
    QCOMPARE(t.win->BarDrawn, 100);
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Sending file ... (1 KB of 1 KB)"));
    QCOMPARE(t.win->CDBut->text(), QStringLiteral("Cancel"));
    t.draw(1000, 1000);
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Finished. (1 KB)"));
    QCOMPARE(t.win->CDBut->text(), QStringLiteral("Done"));

    Transfer r(MainWin::Receive);
    r.draw(4096, 819200);
    QCOMPARE(r.win->StatBox->text(), QStringLiteral("Recieving file ... (4 KB of 800 KB)"));
    r.draw(819200, 819200);
    QCOMPARE(r.win->StatBox->text(), QStringLiteral("Finished. (800 KB)"));
    QCOMPARE(r.win->CDBut->text(), QStringLiteral("Done"));
}

void TestProgress::skippedStepsBelowFivePercentLeaveTheirColumns()
{
    Transfer t(MainWin::Send);
    t.draw(0, 100);
    QCOMPARE(t.bar(), QString());
    t.draw(3, 100);
    t.expected = reference({{6, 4}, {7, 5}});
    QCOMPARE(t.bar(), QString());
    t.draw(4, 100);
    t.expected = reference({{6, 4}, {7, 5}, {8, 6}, {9, 7}});
    QCOMPARE(t.bar(), QString());
    // Columns 2 and 3 were never painted and keep the groove.
    t.draw(5, 100);
    t.expected = reference(tube(5, 4));
    QCOMPARE(t.bar(), QString());
    QCOMPARE(t.win->BarDrawn, 5);
}

void TestProgress::firstCallsAtTenAndAtAHundredPercent()
{
    Transfer ten(MainWin::Send);
    ten.draw(4096, 40000);
    QCOMPARE(ten.win->BarDrawn, 10);
    ten.expected = reference(tube(10, 2));
    QCOMPARE(ten.bar(), QString());
    QCOMPARE(ten.win->StatBox->text(), QStringLiteral("Sending file ... (4 KB of 39.1 KB)"));

    // The head's last column, 203, lies beyond the box.
    Transfer whole(MainWin::Send);
    whole.draw(1000, 1000);
    whole.expected = reference(tube(100, 2));
    QCOMPARE(whole.bar(), QString());
    QCOMPARE(whole.win->StatBox->text(), QStringLiteral("Finished. (1 KB)"));
    QCOMPARE(whole.win->CDBut->text(), QStringLiteral("Done"));
}

void TestProgress::unchangedPercentageRepaintsTheSame()
{
    Transfer t(MainWin::Send);
    t.draw(3000, 100000);
    t.draw(3400, 100000);
    t.expected = reference({{6, 4}, {7, 5}});
    QCOMPARE(t.bar(), QString());

    t.draw(7000, 100000);
    t.draw(7400, 100000);
    QCOMPARE(t.win->BarDrawn, 7);
    // The pairs of 2 % and 4 % were never painted; the body covers what 3 % left.
    t.expected = reference(tube(7, 2));
    QCOMPARE(t.bar(), QString());
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Sending file ... (7.2 KB of 97.7 KB)"));
}

void TestProgress::fullRunInOnePercentSteps()
{
    const Layout pairs[] = {{{2, 0}, {3, 1}}, {{4, 2}, {5, 3}}, {{6, 4}, {7, 5}}, {{8, 6}, {9, 7}}};
    Transfer t(MainWin::Receive);
    Layout start;
    for (int p = 1; p <= 100; ++p) {
        t.draw(p * 100, 10000);
        if (p <= 4)
            start.insert(pairs[p - 1].begin(), pairs[p - 1].end());
        t.expected = reference(p <= 4 ? start : tube(p, 4, {{2, 0}, {3, 1}}));
        QVERIFY2(t.bar().isEmpty(), qPrintable(QStringLiteral("at %1 %: ").arg(p) + t.bar()));
        QCOMPARE(t.win->BarDrawn, p);
        if (p < 100)
            QCOMPARE(t.win->CDBut->text(), QStringLiteral("Cancel"));
    }
    QCOMPARE(t.win->StatBox->text(), QStringLiteral("Finished. (9.8 KB)"));
    QCOMPARE(t.win->CDBut->text(), QStringLiteral("Done"));
}

void TestProgress::barIsEmptyBeforeTheFirstCallAndSurvivesHiding()
{
    Transfer t(MainWin::Receive);
    QCOMPARE(t.bar(), QString());
    QCOMPARE(difference(t.win->ProcBar->grab().toImage(), t.expected), QString());

    t.win->Show();
    t.draw(4096, 40000);
    t.expected = reference(tube(10, 2));
    QCOMPARE(difference(t.win->ProcBar->grab().toImage(), t.expected), QString());
    t.win->window()->hide();
    t.win->window()->showMinimized();
    t.win->Show();
    QCOMPARE(t.bar(), QString());
    QCOMPARE(difference(t.win->ProcBar->grab().toImage(), t.expected), QString());
}

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
