#pragma once

#include <QByteArray>

// Tar entries typed from the ustar layout, independently of PaxWriter, for archives no archiver
// would write.
inline QByteArray sealed(QByteArray header)
{
    header.replace(148, 8, "        ");
    int sum = 0;
    for (int i = 0; i < 512; ++i)
        sum += uchar(header[i]);
    return header.replace(148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
}
inline QByteArray header(const QByteArray &name, char type, qint64 size = 0, const QByteArray &link = {})
{
    QByteArray block(512, '\0');
    block.replace(0, name.size(), name).replace(100, 8, QByteArray("0000644\0", 8)).replace(108, 16, QByteArray("0000000\0" "0000000\0", 16));
    block.replace(124, 11, QByteArray::number(size, 8).rightJustified(11, '0')).replace(136, 11, "13710000000");
    block[156] = type;
    block.replace(157, link.size(), link).replace(257, 8, QByteArray("ustar\0" "00", 8));
    return sealed(block);
}
inline QByteArray padded(const QByteArray &bytes) { return bytes + QByteArray(-bytes.size() & 511, '\0'); }
inline QByteArray file(const QByteArray &name, const QByteArray &content) { return header(name, '0', content.size()) + padded(content); }
