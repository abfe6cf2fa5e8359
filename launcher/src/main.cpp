// launcher: starts the installer that "Setup.ini" names for this system and returns its exit
// code. The command line is ignored; nothing is shown.
#include "launcher/Launcher.h"

int main() {
    return lvlauncher::Run();
}
