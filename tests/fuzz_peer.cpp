// Feeds arbitrary scripts to a transfer window on either side and in every state; a broken rule
// aborts, so the fuzzer keeps the script that broke it.
#include "hostilepeer.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

// The application lives until exit, and fontconfig's cache with it.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
    // The offscreen platform's notes would bury the fuzzer's own report.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    // A window closed other than through Done would end the program; here that is a finding too.
    Form::setProgramEnd([] {
        std::fprintf(stderr, "the program was ended\n");
        std::abort();
    });
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
