// completion bash, and the hidden manual-page: the tool's documentation, written from its own
// command definitions (the build installs both).
#include <iostream>

#include "tools/orvanta/command_reference.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/tool_support.h"

#ifndef ORVANTA_VERSION
#define ORVANTA_VERSION "unknown"
#endif

namespace orvanta {

void AddCompletionCommands(CLI::App& app, int* status) {
  CLI::App* completion =
      app.add_subcommand("completion", "shell completion for orvanta, from its own commands");
  completion->require_subcommand(1);
  completion->footer(
      "Example:\n  source <(orvanta completion bash)\n"
      "  orvanta completion bash > ~/.local/share/bash-completion/completions/orvanta\n");
  CLI::App* bash = completion->add_subcommand(
      "bash", "print the bash completion script: subcommands, options and their values");
  bash->footer("Example:\n  source <(orvanta completion bash)\n");
  bash->callback([&app, status] {
    WriteBashCompletion(app, std::cout);
    *status = std::cout.flush() ? kExitSuccess : ReportError("cannot write standard output");
  });

  // Not listed: the build's step that writes orvanta(1).
  CLI::App* manual =
      app.add_subcommand("manual-page", "print the manual page orvanta(1) in roff")->group("");
  manual->footer("Example:\n  orvanta manual-page > orvanta.1 && man -l orvanta.1\n");
  manual->callback([&app, status] {
    WriteManualPage(app, ORVANTA_VERSION, std::cout);
    *status = std::cout.flush() ? kExitSuccess : ReportError("cannot write standard output");
  });
}

}  // namespace orvanta
