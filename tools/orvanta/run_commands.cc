// run and demo: the updater on a simulated device.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "tools/orvanta/commands.h"
#include "tools/orvanta/device_report.h"
#include "tools/orvanta/installation.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

using json = nlohmann::json;

constexpr char kUpdaterName[] = "OrvantaUpdate";

struct RunArguments {
  std::string directory;
  bool headless = false;
  std::optional<std::string> answers, transcript;
};

// Demo images: a recognisable text at the start, then bytes from a fixed generator, so every
// demo writes the same package.
Bytes DemoImage(const std::string& title, std::size_t size, std::uint32_t seed) {
  Bytes image(size);
  std::uint32_t state = seed;
  for (std::uint8_t& byte : image) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  const std::string text = title + " (OrvantaUpdate demo)\n";
  std::memcpy(image.data(), text.data(), std::min(text.size(), image.size()));
  return image;
}

struct DemoImageSpec {
  const char* file;
  const char* title;
  std::size_t size;
};
constexpr DemoImageSpec kDemoImages[] = {
    {"bootloader.bin", "Orvanta bootloader 2.0", 256 * 1024},
    {"sdisk.img", "Orvanta system disk 2.0", 2 * 1024 * 1024},
    {"ea1.img", "Orvanta EA1 image 2.0", 3 * 1024 * 1024},
    {"ea2.img", "Orvanta EA2 image 2.0", 3 * 1024 * 1024},
    {"eb.img", "Orvanta EB image 2.0", 3 * 1024 * 1024},
};

std::map<std::string, std::uint64_t> CardFiles(const std::filesystem::path& card) {
  std::map<std::string, std::uint64_t> files;
  std::error_code code;
  for (auto it = std::filesystem::recursive_directory_iterator(card, code);
       !code && it != std::filesystem::recursive_directory_iterator(); it.increment(code)) {
    std::error_code sizeCode;
    if (it->is_regular_file(sizeCode))
      files[std::filesystem::relative(it->path(), card, sizeCode).string()] =
          it->file_size(sizeCode);
  }
  return files;
}

// One readable line per transcript event; an operation's progress is folded into its line.
void PrintTranscript(const std::filesystem::path& transcript) {
  std::ifstream input(transcript);
  std::string line;
  std::string operation;  // the counter text whose progress is being followed
  int position = -1;
  auto finishOperation = [&operation, &position] {
    if (operation.empty()) return;
    std::cout << "    " << operation;
    if (position >= 0) std::cout << " " << position << "%";
    std::cout << "\n";
    operation.clear();
    position = -1;
  };
  while (std::getline(input, line)) {
    const json event = json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    const std::string kind = event.value("event", "");
    if (kind == "progress") {
      position = event.value("position", 0);
      continue;
    }
    finishOperation();
    if (kind == "dialog") {
      std::cout << "    dialog \"" << event.value("title", "")
                << "\": " << event.value("warning", "") << "\n";
    } else if (kind == "counter") {
      operation = event.value("text", "");
    } else if (kind == "message") {
      const int answer = event.value("answer", 0);
      std::cout << "    message " << event.value("id", 0) << ": \"" << event.value("text", "")
                << "\" answered "
                << (answer == 1   ? "OK"
                    : answer == 2 ? "Cancel"
                                  : "nothing")
                << "\n";
    } else if (kind == "restart") {
      std::cout << "    the device restarts\n";
    } else if (kind == "exit") {
      std::cout << "    exit status " << event.value("status", 0) << "\n";
    } else {
      std::cout << "    " << line << "\n";
    }
  }
  finishOperation();
}

// "0..13, 65" from a sorted list of block numbers.
std::string BlockRanges(const std::vector<std::uint32_t>& blocks) {
  std::string text;
  for (std::size_t i = 0; i < blocks.size();) {
    std::size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(blocks[i]);
    if (j > i) text += ".." + std::to_string(blocks[j]);
    i = j + 1;
  }
  return text.empty() ? "none" : text;
}

std::string CardPath(const std::string& relative) {
  std::string path = "\\SD Card\\" + relative;
  for (char& character : path)
    if (character == '/') character = '\\';
  return path;
}

std::size_t JournalLength(const std::filesystem::path& directory) {
  std::ifstream input(directory / "journal.jsonl");
  std::size_t lines = 0;
  for (std::string line; std::getline(input, line);) ++lines;
  return lines;
}

// How a run ended, after the updater's window has gone: the messages it showed (from the
// transcript, when there is one), then whether the device restarted (from the device journal's
// lines after `journalBefore`) and with which update request, or the failure.
void PrintOutcome(const std::filesystem::path& directory, std::size_t journalBefore,
                  const std::optional<std::filesystem::path>& transcript, int status) {
  bool restarted = false;
  {
    std::ifstream input(directory / "journal.jsonl");
    std::size_t index = 0;
    for (std::string line; std::getline(input, line); ++index) {
      const json event = json::parse(line, nullptr, false);
      if (index >= journalBefore && event.is_object() && event.value("event", "") == "restart")
        restarted = true;
    }
  }
  if (transcript) {
    std::ifstream input(*transcript);
    for (std::string line; std::getline(input, line);) {
      const json event = json::parse(line, nullptr, false);
      if (event.is_object() && event.value("event", "") == "message")
        std::cout << "message " << event.value("id", 0) << ": \"" << event.value("text", "")
                  << "\"\n";
    }
  }
  if (restarted) {
    json report;
    std::string error;
    const bool described = DescribeDevice(directory, &report, &error);
    const json request = described ? report["update_request"] : json();
    std::cout << "The device restarted, "
              << (request == json(1)  ? "with the update request stored (record 37 = 1)"
                  : request.is_null() ? "without an update request"
                                      : "with update request " + request.dump())
              << "; exit status " << status << "\n";
  } else if (status == 1) {
    std::cout << "The update failed: \"Failed to complete upgrade.\"; exit status 1\n";
  } else {
    std::cout << "The updater ended without a restart; exit status " << status << "\n";
  }
}

// Whether the updater will choose its terminal front end (as its ORVANTA_UI rule does).
bool UsesTerminalUi(const RunOptions& options) {
  if (options.headless) return false;
  const char* ui = std::getenv("ORVANTA_UI");
  if (ui != nullptr && *ui != '\0') return std::strcmp(ui, "tui") == 0;
  return isatty(STDOUT_FILENO) == 1;
}

// An empty file of the temporary directory, only this user's, removed with this object.
class TemporaryTranscript {
 public:
  explicit TemporaryTranscript(std::string* error) {
    std::error_code code;
    std::string name =
        (std::filesystem::temp_directory_path(code) / "orvanta-run-XXXXXX.jsonl").string();
    const int descriptor = mkstemps(name.data(), static_cast<int>(std::strlen(".jsonl")));
    if (descriptor < 0) {
      *error = "cannot make a temporary transcript: " + std::string(std::strerror(errno));
      return;
    }
    close(descriptor);
    path_ = name;
  }
  TemporaryTranscript(const TemporaryTranscript&) = delete;
  TemporaryTranscript& operator=(const TemporaryTranscript&) = delete;
  ~TemporaryTranscript() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove(path_, ignored);
  }

  const std::filesystem::path& Path() const { return path_; }  // empty when it was not made

 private:
  std::filesystem::path path_;
};

struct DemoArguments {
  std::optional<std::string> directory;
  std::string keys = DevelopmentKeyDirectory().string();
  bool headless = false;
};

int RunDemo(const DemoArguments& arguments) {
  std::error_code code;
  // The work directory holds the demo's images and transcript; the device directory only the
  // device.
  std::string workTemplate =
      (std::filesystem::temp_directory_path(code) / "orvanta-demo-work-XXXXXX").string();
  if (mkdtemp(workTemplate.data()) == nullptr)
    return ReportError("cannot make a temporary directory: " + std::string(std::strerror(errno)));
  const std::filesystem::path work = workTemplate;
  struct RemoveWork {
    std::filesystem::path path;
    ~RemoveWork() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } removeWork{work};

  std::filesystem::path directory;
  if (arguments.directory) {
    directory = *arguments.directory;
  } else {
    std::string deviceTemplate =
        (std::filesystem::temp_directory_path(code) / "orvanta-demo-XXXXXX").string();
    if (mkdtemp(deviceTemplate.data()) == nullptr)
      return ReportError("cannot make a device directory: " + std::string(std::strerror(errno)));
    directory = deviceTemplate;
  }

  std::cout << "1. A new Orvanta (part number " << kDefaultPartNumber << ", variant 1) in "
            << directory.string() << "\n";
  DeviceCreateOptions create;
  create.directory = directory;
  if (const int status = CreateDevice(create); status != kExitSuccess) return status;
  json before;
  std::string error;
  if (!DescribeDevice(directory, &before, &error)) return ReportError(error);
  Bytes norBefore;
  if (!ReadWholeFile(directory / "nor.bin", &norBefore, &error)) return ReportError(error);

  std::cout << "2. Demo images in " << work.string() << "\n";
  for (std::uint32_t i = 0; i < std::size(kDemoImages); ++i) {
    const DemoImageSpec& spec = kDemoImages[i];
    const Bytes image = DemoImage(spec.title, spec.size, 0x0A7A0000u + i);
    if (!WriteFileAtomically(work / spec.file, image, &error)) return ReportError(error);
    std::cout << "     " << spec.file << ": " << spec.size << " bytes\n";
  }

  std::cout << "3. The package, signed with " << arguments.keys << ", onto the card\n";
  PackageOptions package;
  package.keys = arguments.keys;
  package.card = directory / "SD Card";
  package.bootloader = work / "bootloader.bin";
  package.sdisk = work / "sdisk.img";
  package.imageEa1 = work / "ea1.img";
  package.imageEa2 = work / "ea2.img";
  package.imageEb = work / "eb.img";
  if (const int status = BuildPackage(package); status != kExitSuccess) return status;
  for (const auto& [file, size] : CardFiles(package.card))
    std::cout << "     " << CardPath(file) << ": " << size << " bytes\n";

  const bool onTerminal = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
  const bool headless = arguments.headless || !onTerminal;
  RunOptions run;
  run.directory = directory;
  run.headless = headless;
  if (headless) {
    run.answers = "ok";
    run.transcript = work / "transcript.jsonl";
    std::cout << "4. The update, headless (the confirmation answered OK)\n";
  } else {
    setenv("ORVANTA_UI", "tui", 1);
    std::cout << "4. The update in the terminal: confirm with Enter\n";
  }
  std::cout.flush();
  const int updaterStatus = RunUpdater(run);
  if (headless) PrintTranscript(work / "transcript.jsonl");

  json after;
  if (!DescribeDevice(directory, &after, &error)) return ReportError(error);
  Bytes norAfter;
  if (!ReadWholeFile(directory / "nor.bin", &norAfter, &error)) return ReportError(error);

  std::cout << "5. What changed on the device\n";
  std::cout << "     update request (record 37): "
            << (before["update_request"].is_null() ? "none" : before["update_request"].dump())
            << " -> "
            << (after["update_request"].is_null() ? "none" : after["update_request"].dump())
            << "\n";
  // Changed flash blocks, from the geometry's block sizes.
  std::vector<std::uint32_t> changed;
  std::uint64_t offset = 0;
  std::uint32_t block = 0;
  for (const json& region : after["geometry"]["regions"]) {
    const auto size = region["size"].get<std::uint64_t>();
    for (std::uint64_t i = 0; i < region["count"].get<std::uint64_t>(); ++i, ++block) {
      if (offset + size <= norBefore.size() && offset + size <= norAfter.size() &&
          std::memcmp(norBefore.data() + offset, norAfter.data() + offset, size) != 0)
        changed.push_back(block);
      offset += size;
    }
  }
  std::cout << "     flash blocks rewritten: " << BlockRanges(changed) << "\n";
  Bytes bootloader;
  if (ReadWholeFile(work / "bootloader.bin", &bootloader, &error)) {
    const bool programmed = norAfter.size() >= bootloader.size() &&
                            std::equal(bootloader.begin(), bootloader.end(), norAfter.begin());
    std::cout << "     the flash from block 0 holds the new bootloader: "
              << (programmed ? "yes" : "no") << "\n";
  }
  for (const auto& [file, size] : CardFiles(package.card))
    if (file.find('/') == std::string::npos && (file == "syaffs.bc" || file == "_seboot.nb0"))
      std::cout << "     new on the card: " << CardPath(file) << " (" << size << " bytes)\n";
  const std::size_t journalBefore = before["journal"].size();
  for (std::size_t i = journalBefore; i < after["journal"].size(); ++i)
    std::cout << "     journal: " << after["journal"][i].dump() << "\n";
  std::cout << "\n";
  PrintDeviceReport(after, isatty(STDOUT_FILENO) == 1);

  if (updaterStatus != 0) {
    std::cout << "The update did not end in a restart (exit status " << updaterStatus << ").\n";
    return updaterStatus;
  }
  if (after["update_request"] != json(1)) {
    std::cout << "The updater restarted the device but no update request is stored.\n";
    return kExitNegative;
  }
  std::cout << "The update ended in a restart; the new bootloader takes over from the card.\n";
  return kExitSuccess;
}

}  // namespace

int RunUpdater(const RunOptions& options) {
  const sim::DevicePaths paths{UseDevice(options.directory)};
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths);
  if (!loaded) return ReportError(loaded.error);
  std::string error;
  const std::filesystem::path updater = UpdaterPath(&error);
  if (updater.empty()) return ReportError(error);
  if (access(updater.c_str(), X_OK) != 0)
    return ReportError(updater.string() + ": " + std::strerror(errno));
  if (options.headless) setenv("ORVANTA_UI", "headless", 1);
  if (options.answers) setenv("ORVANTA_ANSWERS", options.answers->c_str(), 1);
  if (options.transcript) {
    std::error_code code;
    const std::filesystem::path transcript = std::filesystem::absolute(*options.transcript, code);
    setenv("ORVANTA_TRANSCRIPT", transcript.c_str(), 1);
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t child = fork();
  if (child < 0)
    return ReportError("cannot start " + updater.string() + ": " + std::strerror(errno));
  if (child == 0) {
    // Under user-mode emulation without binfmt_misc the kernel cannot start the updater by
    // itself: ORVANTA_EMULATOR names the emulator to start it through (qemu-arm, say).
    const char* emulator = std::getenv("ORVANTA_EMULATOR");
    if (emulator != nullptr && *emulator != '\0')
      execlp(emulator, emulator, updater.c_str(), static_cast<char*>(nullptr));
    else
      execl(updater.c_str(), kUpdaterName, static_cast<char*>(nullptr));
    std::fprintf(stderr, "orvanta: cannot run %s: %s\n", updater.c_str(), std::strerror(errno));
    _exit(kExitError);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR)
      return ReportError("lost the updater: " + std::string(std::strerror(errno)));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kExitError;
}

void AddRunCommands(CLI::App& app, int* status) {
  auto run = std::make_shared<RunArguments>();
  CLI::App* runCommand =
      app.add_subcommand("run", "run OrvantaUpdate on a device; the exit status is the updater's");
  runCommand->add_option("DIR", run->directory, "the device directory")->required();
  runCommand->add_flag("--headless", run->headless,
                       "no terminal UI: answers from --answers, a transcript of what was shown");
  runCommand->add_option("--answers", run->answers,
                         "message-box answers: comma-separated ok, cancel, none, plug, unplug");
  runCommand
      ->add_option("--transcript", run->transcript,
                   "write the transcript to FILE (headless: default standard output)")
      ->type_name("FILE");
  runCommand->footer(
      "Examples:\n  orvanta run ./device\n"
      "  orvanta run ./device --headless --answers ok --transcript run.jsonl\n");
  runCommand->callback([run, status] {
    RunOptions options;
    options.directory = run->directory;
    options.headless = run->headless;
    options.answers = run->answers;
    if (run->transcript) options.transcript = *run->transcript;
    // The terminal UI leaves nothing on the screen: a private transcript, unless one is asked
    // for, tells afterwards which messages it showed.
    std::optional<TemporaryTranscript> privateTranscript;
    if (!options.transcript && UsesTerminalUi(options)) {
      std::string error;
      if (!privateTranscript.emplace(&error).Path().empty())
        options.transcript = privateTranscript->Path();
      else
        std::cerr << "orvanta: " << error << " (the messages shown are not listed)\n";
    }
    const std::size_t journalBefore = JournalLength(run->directory);
    *status = RunUpdater(options);
    // A headless transcript on standard output already ends with the outcome.
    if (*status != kExitError && (!options.headless || options.transcript))
      PrintOutcome(run->directory, journalBefore, options.transcript, *status);
  });

  auto demo = std::make_shared<DemoArguments>();
  CLI::App* demoCommand = app.add_subcommand(
      "demo", "a new device, a signed demo package, the update, and what it changed");
  demoCommand->add_option("DIR", demo->directory,
                          "the device directory to create (default: a new temporary one)");
  demoCommand
      ->add_option("--keys", demo->keys,
                   "private keys to sign with (default: the development keys the updater was "
                   "built with)")
      ->type_name("DIR");
  demoCommand->add_flag("--headless", demo->headless, "no terminal UI even on a terminal");
  demoCommand->footer("Examples:\n  orvanta demo\n  orvanta demo ./demo-device --headless\n");
  demoCommand->callback([demo, status] { *status = RunDemo(*demo); });
}

}  // namespace orvanta
