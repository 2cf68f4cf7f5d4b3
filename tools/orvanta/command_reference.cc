#include "tools/orvanta/command_reference.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "host/text/text_encoding.h"
#include "tools/orvanta/shell_word.h"

namespace orvanta {
namespace {

constexpr ReferenceEntry kExitStatuses[] = {
    {"0",
     "success; for run and demo, the update ended in a restart with the update request "
     "stored"},
    {"1",
     "a check ran and said no (verify, check-signature, inspect); for run and demo, the "
     "updater reported that the upgrade failed"},
    {"2",
     "a wrong argument, or work that could not be done (a missing file, a device that does "
     "not load, a key the device would refuse, an output that exists, out of memory); one line "
     "on standard error says which"},
    {"3", "inspect: the image is sound but signed with another key than its card slot needs"},
    {"4",
     "run: the user cancelled (the confirmation or a power prompt answered Cancel, as the "
     "transcript tells)"},
    {"137", "run and demo: the simulated power was cut during the update"},
    {"255",
     "run and demo: another instance of the updater was running and was brought to the "
     "foreground"},
    {"128+N", "run and demo: signal N ended the updater"},
};

constexpr ReferenceEntry kEnvironmentVariables[] = {
    {"ORVANTA_LOCK_VARIANT",
     "per_block or unlock_all: the lock variant of every device created without "
     "--lock-variant, and of a device.json without one"},
    {"ORVANTA_PKCS11_MODULE",
     "the PKCS#11 module for a pkcs11: URI without module-path (default: the p11-kit proxy)"},
    {"ORVANTA_PKCS11_PIN",
     "the token PIN for a pkcs11: URI without pin-value or pin-source (never taken on the "
     "command line)"},
    {"ORVANTA_EMULATOR",
     "run and demo start OrvantaUpdate through this program (qemu-arm, say) when it is set"},
    {"ORVANTA_UI",
     "run: the updater's front end, tui or headless (--headless sets headless; default tui on a "
     "terminal)"},
    {"ORVANTA_ANSWERS", "run: the headless message-box answers (--answers sets it)"},
    {"ORVANTA_TRANSCRIPT",
     "run: the file the updater writes its transcript to (--transcript sets it)"},
    {"ORVANTA_DEVICE",
     "set by the tool to the device directory it works on, for its own flash and settings code "
     "and for the updater; a value set before is replaced"},
};

void AppendTable(std::string_view title, std::span<const ReferenceEntry> entries,
                 std::string* text) {
  std::size_t width = 0;
  for (const ReferenceEntry& entry : entries) width = std::max(width, entry.term.size());
  *text += std::string(title) + ":\n";
  for (const ReferenceEntry& entry : entries) {
    *text += "  " + std::string(entry.term) + std::string(width - entry.term.size() + 2, ' ');
    *text += std::string(entry.meaning) + "\n";
  }
}

// Text for roff: backslashes and minus signs escaped, a control character at the start of a
// line made literal, and characters beyond ASCII written as \[uXXXX] (troff reads bytes); a
// malformed UTF-8 sequence shows as U+FFFD.
std::string Roff(std::string_view text) {
  const std::u16string units = *host::Utf16FromUtf8(text, host::Malformed::Replace);
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t point = units[i];
    if (point >= 0xD800u && point < 0xDC00u)  // a high surrogate: the pair is whole after Replace
      point = 0x10000u + ((point - 0xD800u) << 10) + (units[++i] - 0xDC00u);
    const bool lineStart = out.empty() || out.back() == '\n';
    if (point == '\\') {
      out += "\\e";
    } else if (point == '-') {
      out += "\\-";
    } else if ((point == '.' || point == '\'') && lineStart) {
      out += "\\&";
      out += static_cast<char>(point);
    } else if (point < 0x80u) {
      out += static_cast<char>(point);
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\[u%04X]", static_cast<unsigned>(point));
      out += escape;
    }
  }
  return out;
}

// "-h", "--help": an option's names as typed.
std::vector<std::string> OptionNames(const CLI::Option& option) {
  std::vector<std::string> names;
  for (const std::string& name : option.get_snames()) names.push_back("-" + name);
  for (const std::string& name : option.get_lnames()) names.push_back("--" + name);
  return names;
}

// The program, then every listed command below it, each followed by its own (depth first).
std::vector<const CLI::App*> CommandsBelow(const CLI::App& program) {
  std::vector<const CLI::App*> commands = {&program};
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const std::vector<const CLI::App*> below = ListedSubcommands(*commands[i]);
    commands.insert(commands.begin() + static_cast<std::ptrdiff_t>(i) + 1, below.begin(),
                    below.end());
  }
  return commands;
}

// "--power online|offline|backup|unknown", "-h, --help": an option with its value as the manual
// shows it, with all its names or only the first long one.
std::string ManualOptionHeading(const CLI::Option& option, bool allNames = true) {
  std::vector<std::string> names = OptionNames(option);
  if (!allNames && !option.get_lnames().empty()) names = {"--" + option.get_lnames().front()};
  std::string heading;
  for (const std::string& name : names)
    heading += (heading.empty() ? "\\fB" : ", \\fB") + Roff(name) + "\\fR";
  const ValueKind value = ValueOf(option);
  if (value.kind == ValueKind::Kind::kChoice) {
    std::string choices;
    for (const std::string& choice : value.choices)
      choices += (choices.empty() ? "" : "|") + ("\\fB" + Roff(choice) + "\\fR");
    heading += " " + choices;
  } else if (value.kind != ValueKind::Kind::kNone) {
    heading += " \\fI" + Roff(value.name) + "\\fR";
  }
  return heading;
}

// "orvanta sign --key FILE [options] INPUT OUTPUT": the required options by their long name,
// [options] for the others, then the positionals.
std::string ManualUsage(const CLI::App& command) {
  std::string usage = "\\fB" + Roff(CommandPath(command)) + "\\fR";
  if (!ListedSubcommands(command).empty()) return usage + " \\fIsubcommand\\fR";
  bool optional = false;
  for (const CLI::Option* option : NamedOptions(command)) {
    if (option->get_required())
      usage += " " + ManualOptionHeading(*option, false);
    else if (option != command.get_help_ptr())
      optional = true;
  }
  if (optional) usage += " [\\fIoptions\\fR]";
  for (const CLI::Option* positional : Positionals(command)) {
    const std::string name = "\\fI" + Roff(positional->get_single_name()) + "\\fR";
    usage += " " + (positional->get_required() ? name : "[" + name + "]");
  }
  return usage;
}

void WriteManualOption(const CLI::Option& option, std::ostream& out) {
  out << ".TP\n"
      << (option.get_positional() && !option.nonpositional()
              ? "\\fI" + Roff(option.get_single_name()) + "\\fR"
              : ManualOptionHeading(option))
      << "\n"
      << Roff(option.get_description()) << (option.get_required() ? " (required)" : "") << "\n";
}

void WriteManualTable(std::string_view section, std::span<const ReferenceEntry> entries,
                      std::ostream& out) {
  out << ".SH " << section << "\n";
  for (const ReferenceEntry& entry : entries)
    out << ".TP\n.B " << Roff(entry.term) << "\n" << Roff(entry.meaning) << "\n";
}

std::string BashWords(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return BashQuote(text);
}

// How the completion offers a value: @file, @dir, @text, or the words to choose from (joined
// by `separator`).
std::string BashValue(const ValueKind& value, char separator) {
  switch (value.kind) {
    case ValueKind::Kind::kFile:
      return "@file";
    case ValueKind::Kind::kDirectory:
      return "@dir";
    case ValueKind::Kind::kChoice: {
      std::string words;
      for (const std::string& choice : value.choices)
        words += (words.empty() ? "" : std::string(1, separator)) + choice;
      return words;
    }
    default:
      return "@text";
  }
}

// The command path without the program's name: "" for the program, "device create" below.
std::string BashCommandKey(const CLI::App& command) {
  const std::string path = CommandPath(command);
  const std::size_t space = path.find(' ');
  return space == std::string::npos ? "" : path.substr(space + 1);
}

// The fixed part of the script: finds the command being completed and what the word under
// the cursor is (a subcommand, an option, an option's value or a positional), then offers the
// candidates the generated tables give.
constexpr char kBashCompletionDriver[] =
    R"(# _orvanta_reply HOW WORD: completes WORD as HOW says (@file, @dir, @text, or a word list).
_orvanta_reply() {
  case $1 in
    @file) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$2") ;;
    @dir) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$2") ;;
    @text) COMPREPLY=() ;;
    *) mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2") ;;
  esac
}

_orvanta() {
  local cur=${COMP_WORDS[COMP_CWORD]} path= word i count=0 pending=
  local subcommands options positionals REPLY
  # Walk the words before the cursor: subcommands deepen the path, an option that takes a
  # value takes the next word, anything else is the next positional. Bash splits
  # --option=value into three words around the "=".
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    [[ $word == = ]] && continue
    if [[ -n $pending ]]; then pending=; continue; fi
    _orvanta_command "$path"
    if [[ $word == -* ]]; then
      _orvanta_value "$path" "$word" && pending=1
    elif [[ " $subcommands " == *" $word "* ]]; then
      path=${path:+$path }$word
      count=0
    else
      count=$((count + 1))
    fi
  done
  [[ $cur == = ]] && cur=
  if [[ -n $pending ]]; then
    word=${COMP_WORDS[COMP_CWORD-1]}
    [[ $word == = ]] && word=${COMP_WORDS[COMP_CWORD-2]}
    _orvanta_value "$path" "$word"
    _orvanta_reply "$REPLY" "$cur"
    return 0
  fi
  _orvanta_command "$path"
  if [[ $cur == -* ]]; then
    _orvanta_reply "$options" "$cur"
  elif [[ -n $subcommands ]]; then
    _orvanta_reply "$subcommands" "$cur"
  else
    local kinds=($positionals)
    if ((count < ${#kinds[@]})); then
      _orvanta_reply "${kinds[count]//,/ }" "$cur"
    else
      _orvanta_reply "$options" "$cur"
    fi
  fi
  return 0
}
complete -F _orvanta orvanta
)";

}  // namespace

std::span<const ReferenceEntry> ExitStatuses() {
  return kExitStatuses;
}
std::span<const ReferenceEntry> EnvironmentVariables() {
  return kEnvironmentVariables;
}

std::string ReferenceFooter() {
  std::string text;
  AppendTable("Exit status", kExitStatuses, &text);
  text += "\n";
  AppendTable("Environment", kEnvironmentVariables, &text);
  return text;
}

std::vector<const CLI::App*> ListedSubcommands(const CLI::App& command) {
  return command.get_subcommands(
      [](const CLI::App* subcommand) { return !subcommand->get_group().empty(); });
}

std::vector<const CLI::Option*> NamedOptions(const CLI::App& command) {
  return command.get_options([](const CLI::Option* option) {
    return option->nonpositional() && !option->get_group().empty();
  });
}

std::vector<const CLI::Option*> Positionals(const CLI::App& command) {
  return command.get_options([](const CLI::Option* option) {
    return option->get_positional() && !option->nonpositional();
  });
}

ValueKind ValueOf(const CLI::Option& option) {
  ValueKind value;
  if (option.get_expected_max() == 0) return value;
  // "TEXT", "UINT", "FILE", or with a set check "TEXT:{instant,virtual,realistic}".
  const std::string type = option.get_type_name();
  value.name = type.substr(0, type.find(':'));
  const std::size_t open = type.find('{'), close = type.rfind('}');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    value.kind = ValueKind::Kind::kChoice;
    const std::string set = type.substr(open + 1, close - open - 1);
    for (std::size_t start = 0; start <= set.size();) {
      const std::size_t comma = std::min(set.find(',', start), set.size());
      value.choices.push_back(set.substr(start, comma - start));
      start = comma + 1;
    }
    return value;
  }
  const bool positional = option.get_positional() && !option.nonpositional();
  const std::string name = positional ? option.get_single_name() : "";
  if (value.name == "DIR" || name == "DIR")
    value.kind = ValueKind::Kind::kDirectory;
  else if (value.name == "FILE" || name == "FILE" || value.name == "FILE|DIR")
    value.kind = ValueKind::Kind::kFile;
  else
    value.kind = ValueKind::Kind::kText;
  return value;
}

std::string CommandPath(const CLI::App& command) {
  std::string path = command.get_name();
  for (const CLI::App* parent = command.get_parent(); parent != nullptr;
       parent = parent->get_parent())
    path = parent->get_name() + " " + path;
  return path;
}

void WriteManualPage(const CLI::App& program, std::string_view version, std::ostream& out) {
  std::string summary = program.get_description();
  if (const std::string prefix = program.get_name() + ": "; summary.rfind(prefix, 0) == 0)
    summary.erase(0, prefix.size());
  const std::vector<const CLI::App*> commands = CommandsBelow(program);

  out << ".\\\" " << Roff(program.get_name())
      << "(1), written by the program itself from its command definitions.\n"
      << ".TH " << Roff(program.get_name()) << " 1 \"\" \"" << Roff(program.get_name()) << " "
      << Roff(version)
      << "\" \"User Commands\"\n"
      // No hyphenation and a ragged right margin: option names and values stay whole.
      << ".nh\n.ad l\n"
      << ".SH NAME\n"
      << Roff(program.get_name()) << " \\- " << Roff(summary) << "\n"
      << ".SH SYNOPSIS\n"
      << ".in +4n\n";  // a usage that wraps goes on indented
  for (const CLI::App* command : commands)
    if (ListedSubcommands(*command).empty())
      out << ".ti -4n\n" << ManualUsage(*command) << "\n.br\n";
  out << ".in\n";
  out << ".SH DESCRIPTION\n"
      << "\\fB" << Roff(program.get_name()) << "\\fR: " << Roff(summary) << ".\n"
      << "Every subcommand takes \\fB\\-h\\fR, \\fB\\-\\-help\\fR, which describes it with "
         "examples.\n"
      << ".SH OPTIONS\n";
  for (const CLI::Option* option : NamedOptions(program)) WriteManualOption(*option, out);
  out << ".SH COMMANDS\n";
  for (const CLI::App* command : commands) {
    if (command == &program) continue;
    out << ".SS \"" << ManualUsage(*command) << "\"\n" << Roff(command->get_description()) << "\n";
    for (const CLI::Option* option : Positionals(*command)) WriteManualOption(*option, out);
    for (const CLI::Option* option : NamedOptions(*command))
      if (option != command->get_help_ptr()) WriteManualOption(*option, out);
    // The footer holds the command's examples, laid out by hand: kept as it is.
    if (const std::string footer = command->get_footer(); !footer.empty())
      out << ".PP\n.nf\n" << Roff(footer) << (footer.back() == '\n' ? "" : "\n") << ".fi\n";
  }
  WriteManualTable("EXIT STATUS", kExitStatuses, out);
  WriteManualTable("ENVIRONMENT", kEnvironmentVariables, out);
}

void WriteBashCompletion(const CLI::App& program, std::ostream& out) {
  const std::vector<const CLI::App*> commands = CommandsBelow(program);
  out << "# bash completion for " << program.get_name() << ", written by `" << program.get_name()
      << " completion bash` from the tool's own command definitions.\n\n"
      << "# _orvanta_command PATH: the subcommands, options and positionals of command PATH.\n"
      << "_orvanta_command() {\n  case $1 in\n";
  for (const CLI::App* command : commands) {
    std::vector<std::string> subcommands, options, positionals;
    for (const CLI::App* subcommand : ListedSubcommands(*command))
      subcommands.push_back(subcommand->get_name());
    for (const CLI::Option* option : NamedOptions(*command))
      for (const std::string& name : OptionNames(*option)) options.push_back(name);
    for (const CLI::Option* option : Positionals(*command))
      positionals.push_back(BashValue(ValueOf(*option), ','));
    out << "    " << BashQuote(BashCommandKey(*command)) << ")\n"
        << "      subcommands=" << BashWords(subcommands) << "\n"
        << "      options=" << BashWords(options) << "\n"
        << "      positionals=" << BashWords(positionals) << " ;;\n";
  }
  out << "  esac\n}\n\n"
      << "# _orvanta_value PATH OPTION: REPLY says how OPTION of command PATH completes its\n"
      << "# value; fails for a flag or an option the command does not have.\n"
      << "_orvanta_value() {\n  case \"$1|$2\" in\n";
  for (const CLI::App* command : commands) {
    for (const CLI::Option* option : NamedOptions(*command)) {
      const ValueKind value = ValueOf(*option);
      if (value.kind == ValueKind::Kind::kNone) continue;
      std::string patterns;
      for (const std::string& name : OptionNames(*option))
        patterns +=
            (patterns.empty() ? "" : " | ") + BashQuote(BashCommandKey(*command) + "|" + name);
      out << "    " << patterns << ") REPLY=" << BashQuote(BashValue(value, ' ')) << " ;;\n";
    }
  }
  out << "    *) return 1 ;;\n  esac\n}\n\n" << kBashCompletionDriver;
}

}  // namespace orvanta
