// launcher: starts the installer that "Setup.ini" names for this system and returns its exit
// code. Nothing is shown and the command line is ignored, except for a lone --version or
// --help, which a packaged program answers.
#include "launcher/Launcher.h"

#include <cstdio>
#include <cstring>
#include <lorvane/Version.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("launcher " LORVANE_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: launcher\n"
                  "Starts the installer that Setup.ini (beside the launcher, else in the\n"
                  "current folder) names for this system, waits for it and exits with its\n"
                  "exit code; 255 when nothing was started. See launcher(1).");
        return 0;
    }
    return lvlauncher::Run();
}
