// launcher: starts the installer that "Setup.ini" names for this system and returns its exit
// code. Nothing is shown and the command line is ignored, except for a lone --version or
// --help (the table of launcher/CommandLine.h), which a packaged program answers.
#include "launcher/CommandLine.h"
#include "launcher/Launcher.h"

#include <cstdio>
#include <lorvane/Version.h>

int main(int argc, char** argv) {
    switch (lvlauncher::ReadCommandLine(argc, argv)) {
    case lvlauncher::Asked::Version:
        std::puts("launcher " LORVANE_VERSION);
        return 0;
    case lvlauncher::Asked::Help:
        std::fputs(lvlauncher::HelpText().c_str(), stdout);
        return 0;
    case lvlauncher::Asked::Install:
        break;
    }
    return lvlauncher::Run();
}
