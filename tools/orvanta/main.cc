// orvanta: the bench tool around OrvantaUpdate. Creates and inspects simulated devices, makes
// keys, signs images and packages, verifies files with the device's own verifier, injects
// faults, runs the updater and runs a complete demo.
//
// Exit statuses: 0 success; 1 a check that ran and said no (verify, check-signature); 2 a
// wrong argument or a command that could not do its work (one line on standard error); run
// and demo end with the updater's status.
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/orvanta/commands.h"
#include "tools/orvanta/tool_support.h"

int main(int argc, char** argv) {
  CLI::App app{"orvanta: create simulated Orvanta devices, sign and verify packages, run updates"};
  app.require_subcommand(1);
  app.footer(
      "Examples:\n  orvanta demo\n  orvanta device create ./device && orvanta device show "
      "./device\n  orvanta <subcommand> --help");
  int status = orvanta::kExitSuccess;
  orvanta::AddDeviceCommands(app, &status);
  orvanta::AddImageCommands(app, &status);
  orvanta::AddSignatureCommands(app, &status);
  orvanta::AddRunCommands(app, &status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    return orvanta::ReportError(error.what());
  }
  return status;
}
