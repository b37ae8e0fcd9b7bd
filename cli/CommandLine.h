#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

// What kelvane-cli's --help shows and how it answers a command line it cannot take.
namespace cmdline {

// The groups of --help, shown in the order their first option was added.
inline constexpr const char* kGroupEntries = "What each entry holds";
inline constexpr const char* kGroupLayout = "Many domains on one server (built-in entry only)";
inline constexpr const char* kGroupHttps = "HTTPS (built-in entry only)";
inline constexpr const char* kGroupFiles = "Files and messages";
inline constexpr const char* kGroupServer = "The server (check only)";
inline constexpr const char* kGroupOther = "Other";

// Descriptions start in this column; every line of --help fits in kHelpWidth.
inline constexpr std::size_t kHelpColumn = 24;
inline constexpr std::size_t kHelpWidth = 80;

// Words joined into lines of at most nWidth characters, separated by '\n'; a word longer than
// that has a line of its own.
std::string wrap(std::string_view strText, std::size_t nWidth);

// Edits (insert, delete, replace, swap two neighbours) that turn one text into the other.
std::size_t editDistance(std::string_view a, std::string_view b);

// The known long option closest to a mistyped one ("--site-pth", "--stirct=x"), or empty when
// none is close enough to be what was meant.
std::string closestOption(std::string_view strTyped, const std::vector<std::string>& vecKnown);

// Every long option of the program and of its subcommands, "--" included.
std::vector<std::string> longOptions(const CLI::App& app);

// Sets the help's layout and wraps every description to fit it; call once all options are added.
void finishHelp(CLI::App& app);

// What follows the options in --help: examples and exit statuses.
std::string helpFooter();

// What every usage error ends with.
inline constexpr const char* kNextStep = "\nRun 'kelvane-cli --help' to see the options and examples.";

// The message for the first long option of the command line that the program does not know, with
// the closest known one; empty when it knows them all. Looked for before anything else, so that a
// mistyped option is not reported as a required one missing.
std::string unknownOptionText(const CLI::App& app, int argc, const char* const* argv);

// The message for a command line that cannot be taken, starting with "kelvane-cli:" and ending
// with what to do next.
std::string parseErrorText(const CLI::App& app, const CLI::ParseError& error);

// A subcommand's command line: the help flag and strFooter added, the help laid out, then parsed.
// False, with the exit status, when the subcommand ends here: its help was shown, or a usage
// error (an unknown option first) was said.
bool parseSubcommand(CLI::App& app, std::string_view strFooter, int argc, char** argv, int& nExit);

} // namespace cmdline
