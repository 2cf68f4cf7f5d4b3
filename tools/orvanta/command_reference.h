// The tool's command definitions read back for its generated documentation: the manual page
// orvanta(1) and the bash completion script are written from the same CLI11 applications that
// parse the command line, so neither can drift from the commands. The exit statuses and the
// environment variables, which CLI11 has no place for, are tables here, shown by `orvanta
// --help` and in the manual page alike.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace orvanta {

// One row of a reference table: a term (an exit status, a variable) and what it means.
struct ReferenceEntry {
  std::string_view term;
  std::string_view meaning;
};
std::span<const ReferenceEntry> ExitStatuses();
std::span<const ReferenceEntry> EnvironmentVariables();

// Both tables as the text that ends the top-level help.
std::string ReferenceFooter();

// The subcommands of `command` that its help lists (a subcommand in no group is hidden), in the
// order they were added.
std::vector<const CLI::App*> ListedSubcommands(const CLI::App& command);
// Its options with a name (--help first), and its positionals, in the order they were added.
std::vector<const CLI::Option*> NamedOptions(const CLI::App& command);
std::vector<const CLI::Option*> Positionals(const CLI::App& command);

// What an option or positional takes. Options are marked by their type name (FILE or DIR),
// positionals by their name or type name; a value checked against a set offers the set.
struct ValueKind {
  enum class Kind { kNone, kText, kFile, kDirectory, kChoice };
  Kind kind = Kind::kNone;           // kNone: a flag
  std::vector<std::string> choices;  // kChoice only
  std::string name;                  // as the help shows it: FILE, DIR, UINT, TEXT, ...
};
ValueKind ValueOf(const CLI::Option& option);

// "orvanta device create" for the application of that subcommand.
std::string CommandPath(const CLI::App& command);

// The manual page in roff (man macros) and the bash completion script, of the top-level
// application and everything listed below it.
void WriteManualPage(const CLI::App& program, std::string_view version, std::ostream& out);
void WriteBashCompletion(const CLI::App& program, std::ostream& out);

}  // namespace orvanta
