// orvanta: the bench tool around OrvantaUpdate. Creates and inspects simulated devices, makes
// keys, signs images and packages, verifies files with the device's own verifier, injects
// faults, runs the updater and runs a complete demo.
//
// Exit statuses: command_reference.cc lists them (orvanta --help, orvanta(1)).
#include <iostream>
#include <memory>
#include <new>

#include <CLI/CLI.hpp>

#include "tools/orvanta/command_reference.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/option_types.h"
#include "tools/orvanta/tool_support.h"

#ifndef ORVANTA_VERSION
#define ORVANTA_VERSION "unknown"
#endif

namespace {

// The subcommand of `level` called `name`, or null.
CLI::App* Subcommand(CLI::App* level, const std::string& name) {
  for (CLI::App* subcommand : level->get_subcommands({}))
    if (subcommand->get_name() == name) return subcommand;
  return nullptr;
}

// The option `name` ("--key", "-h") of `level` or of a command above it (options fall through
// to the levels above), or null.
const CLI::Option* OptionOf(CLI::App* level, const std::string& name) {
  for (; level != nullptr; level = level->get_parent())
    for (const CLI::Option* option : level->get_options())
      if (option->nonpositional() && option->check_name(name)) return option;
  return nullptr;
}

// CLI11 reports an unknown subcommand, or an unknown option before the subcommand, only as a
// missing subcommand: walks the words as the parser will and names the first unknown one.
// Empty when every subcommand and option is known.
std::string UnknownWord(CLI::App& app, int argc, char** argv) {
  CLI::App* level = &app;
  std::string path = "orvanta";
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() > 1 && word[0] == '-') {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = OptionOf(level, name);
      if (option == nullptr) return "unknown option " + name + " (see " + path + " --help)";
      if (option->get_expected_max() > 0 && name.size() == word.size()) ++i;  // its value
      continue;
    }
    if (level->get_subcommands({}).empty()) continue;  // a positional
    CLI::App* next = Subcommand(level, word);
    if (next == nullptr) return "unknown subcommand \"" + word + "\" (see " + path + " --help)";
    level = next;
    path += " " + word;
  }
  return {};
}

int Run(int argc, char** argv) {
  CLI::App app{"orvanta: create simulated Orvanta devices, sign and verify packages, run updates",
               "orvanta"};
  // Both are inherited by the subcommands added below: the help shows every value by its name,
  // and --verbose may follow a subcommand's name.
  app.formatter(std::make_shared<orvanta::OptionFormatter>());
  app.fallthrough();
  app.require_subcommand(1);
  app.footer(
      "Examples:\n  orvanta demo\n  orvanta device create ./device && orvanta device show "
      "./device\n  orvanta <subcommand> --help\n\n" +
      orvanta::ReferenceFooter());
  int status = orvanta::kExitSuccess;
  orvanta::AddDeviceCommands(app, &status);
  orvanta::AddImageCommands(app, &status);
  orvanta::AddSignatureCommands(app, &status);
  orvanta::AddRunCommands(app, &status);
  orvanta::AddInspectCommand(app, &status);
  orvanta::AddCompletionCommands(app, &status);
  app.set_version_flag("--version", "orvanta " ORVANTA_VERSION,
                       "print the version of the tool and of the updater it drives");
  app.add_flag_callback(
      "--verbose", [] { orvanta::SetVerbose(true); },
      "errors carry the libraries' own detail (OpenSSL's error codes)");
  if (const std::string unknown = UnknownWord(app, argc, argv); !unknown.empty())
    return orvanta::ReportError(unknown);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    return orvanta::ReportError(error.what());
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  orvanta::RememberInvocation(argc > 0 ? argv[0] : nullptr);
  // Every command's work runs inside; running out of memory ends it with one line, not an abort.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    return orvanta::ReportError("out of memory");
  }
}
