#include "terminal/commandline.h"
#include "terminal/terminalfrontend.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {
// Beside this program in the build tree; once installed, where Debian keeps a program's own
// executables, found from where this one stands so that any install prefix works.
std::string windowsProgram()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || length >= PATH_MAX)
        return VELTRANE_WINDOWS_FOLDER "/" VELTRANE_WINDOWS_NAME;
    const std::string folder(self, std::string_view(self, size_t(length)).rfind('/') + 1);
    if (const std::string beside = folder + VELTRANE_WINDOWS_NAME; access(beside.c_str(), X_OK) == 0)
        return beside;
    return folder + VELTRANE_WINDOWS_FROM_BIN "/" VELTRANE_WINDOWS_NAME;
}
}

// `send`, `receive`, --help and --version run here, without a display. Everything else is the
// windows', a program of its own: Qt Gui and Widgets would cost a terminal command more memory
// and time than the rest of its start.
int main(int argc, char *argv[])
{
    if (CommandLine::claims(argc, argv))
        return TerminalFrontEnd::run(argc, argv);
    // The same arguments, the program's own name among them, as typed.
    const std::string windows = windowsProgram();
    execv(windows.c_str(), argv);
    std::fprintf(stderr, "veltrane: cannot start its windows (%s): %s\n", windows.c_str(), std::strerror(errno));
    return 127;
}
