// Feeds arbitrary scripts to a transfer on either side and in every state; a broken rule aborts,
// so the fuzzer keeps the script that broke it.
#include "hostilepeer.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    // Qt's notes would bury the fuzzer's own report.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString broken = HostilePeer::play(QByteArrayView(data, qsizetype(size)));
    if (!broken.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(broken));
        std::abort();
    }
    return 0;
}
