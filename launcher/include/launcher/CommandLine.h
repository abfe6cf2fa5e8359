// The command line of `launcher`: a lone --help or --version is answered; any other command
// line is ignored (installation media start the launcher with whatever they like) and the
// installer runs. The options, the help and the exit codes are one table each; launcher(1),
// docs/launcher.md and the bash completion are tested to agree with them.
#pragma once
#include <span>
#include <string>

namespace lvlauncher {

enum class Asked { Help, Version, Install };

struct OptionRow {
    const char* name;
    Asked asked;
    const char* help;
};
std::span<const OptionRow> CommandLineOptions();

struct ExitRow {
    const char* code;
    const char* meaning;
};
std::span<const ExitRow> ExitCodes();

// What argv asks: a lone option of the table, else the installer.
Asked ReadCommandLine(int argc, const char* const* argv);

// The text of --help: usage, options and exit codes.
std::string HelpText();

} // namespace lvlauncher
