#pragma once

#include <QList>
#include <QString>

// The one line a terminal redraws while bytes move:
//   notes.txt  42%  2.1 MB of 4.9 MB  11.3 MB/s  0:03 left
// The rate is taken over the last few seconds, so a link that changes speed shows it soon.
class ProgressLine
{
public:
    // Longer names keep their start and end.
    static constexpr qsizetype NameWidth = 32;

    explicit ProgressLine(const QString &name);

    // `done` of `total` bytes, `ms` after the first byte moved.
    QString line(qint64 done, qint64 total, qint64 ms);
    // A size as people read it: kilobytes as the window counts them below a megabyte, then MB, GB.
    static QString size(qint64 bytes);

private:
    static QString duration(qint64 seconds);

    QString m_name;
    struct Sample {
        qint64 ms, done;
    };
    QList<Sample> m_samples;
};
