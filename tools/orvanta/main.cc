// orvanta: the bench tool around OrvantaUpdate. Creates and inspects simulated devices, makes
// keys, signs images and packages, verifies files with the device's own verifier, injects
// faults, runs the updater and runs a complete demo.
//
// Exit statuses: 0 success; 1 a check that ran and said no (verify, check-signature); 2 a
// wrong argument or a command that could not do its work (one line on standard error); run
// and demo end with the updater's status.
#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "tools/orvanta/command_reference.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/tool_support.h"

#ifndef ORVANTA_TOOL_VERSION
#define ORVANTA_TOOL_VERSION "unknown"
#endif
#ifndef ORVANTA_UPDATER_VERSION
#define ORVANTA_UPDATER_VERSION "unknown"
#endif

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"orvanta: create simulated Orvanta devices, sign and verify packages, run updates",
               "orvanta"};
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
  app.set_version_flag("--version",
                       "orvanta " ORVANTA_TOOL_VERSION "\nOrvantaUpdate " ORVANTA_UPDATER_VERSION,
                       "print the tool's version and the version of the updater it drives");
  // CLI11 reports an unknown subcommand only as a missing one; name it instead.
  CLI::App* level = &app;
  std::string path = "orvanta";
  for (int i = 1; i < argc && argv[i][0] != '-'; ++i) {
    if (level->get_subcommands({}).empty()) break;
    CLI::App* next = nullptr;
    for (CLI::App* subcommand : level->get_subcommands({}))
      if (subcommand->get_name() == argv[i]) next = subcommand;
    if (next == nullptr)
      return orvanta::ReportError("unknown subcommand \"" + std::string(argv[i]) + "\" (see " +
                                  path + " --help)");
    level = next;
    path += " " + next->get_name();
  }
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
