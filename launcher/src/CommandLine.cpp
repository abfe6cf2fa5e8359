#include "launcher/CommandLine.h"

#include <cstring>

namespace lvlauncher {
namespace {

const OptionRow kOptions[] = {
    {"--help", Asked::Help, "prints this text and exits"},
    {"--version", Asked::Version, "prints \"launcher\" and the version and exits"},
};

const ExitRow kExits[] = {
    {"n", "the installer's exit code"},
    {"128+n", "the installer was ended by signal n"},
    {"255", "nothing was started: no installer named in any Setup.ini, or it would not start"},
};

} // namespace

std::span<const OptionRow> CommandLineOptions() {
    return kOptions;
}

std::span<const ExitRow> ExitCodes() {
    return kExits;
}

Asked ReadCommandLine(int argc, const char* const* argv) {
    if (argc == 2)
        for (const OptionRow& o : kOptions)
            if (std::strcmp(argv[1], o.name) == 0) return o.asked;
    return Asked::Install;
}

std::string HelpText() {
    std::string t = "usage: launcher\n"
                    "Starts the installer that Setup.ini (beside the launcher, else in the\n"
                    "current folder) names for this system, waits for it and exits with its\n"
                    "exit code. Any other command line is ignored. See launcher(1).\n"
                    "options (alone):\n";
    for (const OptionRow& o : kOptions)
        t +=
            std::string("  ") + o.name + std::string(12 - std::strlen(o.name), ' ') + o.help + "\n";
    t += "exit status:\n";
    for (const ExitRow& e : kExits)
        t += std::string("  ") + e.code + std::string(8 - std::strlen(e.code), ' ') + e.meaning +
             "\n";
    return t;
}

} // namespace lvlauncher
