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

#include "sim/block_layout.h"
#include "sim/power_cut.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/device_report.h"
#include "tools/orvanta/installation.h"
#include "tools/orvanta/shell_word.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

using json = nlohmann::json;

constexpr char kUpdaterName[] = "OrvantaUpdate";

struct RunArguments {
  std::string directory;
  UpdaterPlatform platform = UpdaterPlatform::Host;
  bool headless = false, json = false;
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

// The bytes of demo image `index` of kDemoImages.
Bytes DemoImageBytes(std::uint32_t index) {
  return DemoImage(kDemoImages[index].title, kDemoImages[index].size, 0x0A7A0000u + index);
}

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
void PrintTranscript(const std::filesystem::path& transcript, std::ostream& out) {
  std::ifstream input(transcript);
  std::string line;
  std::string operation;  // the counter text whose progress is being followed
  int position = -1;
  auto finishOperation = [&operation, &position, &out] {
    if (operation.empty()) return;
    out << "    " << operation;
    if (position >= 0) out << " " << position << "%";
    out << "\n";
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
      out << "    dialog \"" << event.value("title", "") << "\": " << event.value("warning", "")
          << "\n";
    } else if (kind == "counter") {
      operation = event.value("text", "");
    } else if (kind == "message") {
      const int answer = event.value("answer", 0);
      out << "    message " << event.value("id", 0) << ": \"" << event.value("text", "")
          << "\" answered "
          << (answer == 1   ? "OK"
              : answer == 2 ? "Cancel"
                            : "nothing")
          << "\n";
    } else if (kind == "restart") {
      out << "    the device restarts\n";
    } else if (kind == "exit") {
      out << "    exit status " << event.value("status", 0) << "\n";
    } else {
      out << "    " << line << "\n";
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

// How a run ended, read from the device journal's lines after `journalBefore` and from the
// transcript: a restart (and the update request stored), a power cut, a cancel, a failure, a
// second instance.
struct Outcome {
  std::string kind;              // restarted, power_cut, cancelled, failed, second_instance, other
  int status = 0;                // the run's exit status (a cancel: kExitCancelled)
  nlohmann::json updateRequest;  // after a restart
  std::vector<std::pair<int, std::string>> messages;  // id and text, as shown
  std::string line;                                   // the summary a person reads
};

Outcome OutcomeOf(const std::filesystem::path& directory, std::size_t journalBefore,
                  const std::optional<std::filesystem::path>& transcript, int status) {
  Outcome outcome;
  outcome.status = status;
  bool restarted = false, powerCut = false, cancelled = false;
  {
    std::ifstream input(directory / "journal.jsonl");
    std::size_t index = 0;
    for (std::string line; std::getline(input, line); ++index) {
      const json event = json::parse(line, nullptr, false);
      if (index < journalBefore || !event.is_object()) continue;
      restarted = restarted || event.value("event", "") == "restart";
      powerCut = powerCut || event.value("event", "") == "power_cut";
    }
  }
  if (transcript) {
    std::ifstream input(*transcript);
    for (std::string line; std::getline(input, line);) {
      const json event = json::parse(line, nullptr, false);
      if (!event.is_object() || event.value("event", "") != "message") continue;
      outcome.messages.emplace_back(event.value("id", 0), event.value("text", ""));
      // The confirmation (132) or a power prompt (129) answered Cancel ends the run so.
      const int id = event.value("id", 0);
      cancelled = cancelled || ((id == 132 || id == 129) && event.value("answer", 0) == 2);
    }
  }
  const std::string statusText = "exit status ";
  if (restarted && status == 0) {
    json report;
    std::string error;
    if (DescribeDevice(directory, &report, &error))
      outcome.updateRequest = report["update_request"];
    const json& request = outcome.updateRequest;
    outcome.kind = "restarted";
    outcome.line =
        "The device restarted, " +
        (request == json(1)  ? std::string("with the update request stored (record 37 = 1)")
         : request.is_null() ? std::string("without an update request")
                             : "with update request " + request.dump());
  } else if (powerCut && status == sim::kPowerCutExitStatus) {
    outcome.kind = "power_cut";
    outcome.line = "The power was cut during the update (the device journal has the point)";
  } else if (status == 1) {
    // Quoted as the updater showed it: the text of its last box (its failure report).
    const std::string shown =
        outcome.messages.empty() ? "" : ": \"" + outcome.messages.back().second + "\"";
    outcome.kind = cancelled ? "cancelled" : "failed";
    if (cancelled) outcome.status = kExitCancelled;
    outcome.line = (cancelled ? "The update was cancelled" : "The update failed") + shown;
  } else if (status == 255) {
    outcome.kind = "second_instance";
    outcome.line =
        "Another instance of the updater was running on this device and was brought "
        "to the foreground";
  } else {
    outcome.kind = "other";
    outcome.line = "The updater ended without a restart";
  }
  outcome.line += "; exit status " + std::to_string(outcome.status);
  return outcome;
}

void PrintOutcome(const Outcome& outcome, bool listMessages, bool asJson) {
  if (asJson) {
    json messages = json::array();
    for (const auto& [id, text] : outcome.messages)
      messages.push_back({{"id", id}, {"text", text}});
    std::cout << json{{"outcome", outcome.kind},
                      {"status", outcome.status},
                      {"update_request", outcome.updateRequest},
                      {"messages", messages}}
                     .dump()
              << "\n";
    return;
  }
  if (listMessages)
    for (const auto& [id, text] : outcome.messages)
      std::cout << "message " << id << ": \"" << text << "\"\n";
  std::cout << outcome.line << "\n";
}

// Whether the updater will choose its terminal front end (as its ORVANTA_UI rule does).
bool UsesTerminalUi(const RunOptions& options) {
  if (options.headless || options.platform == UpdaterPlatform::Windows) return false;
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
  UpdaterPlatform platform = UpdaterPlatform::Host;
  bool headless = false, json = false;
};

// The device and what it held before the update.
struct DemoDevice {
  std::filesystem::path directory;
  json report;
  Bytes nor;
};

// Step 1: a new device of the default geometry and part number.
int CreateDemoDevice(DemoDevice* device, std::ostream& out) {
  out << "1. A new Orvanta (part number " << kDefaultPartNumber << ", variant 1) in "
      << device->directory.string() << "\n";
  DeviceCreateOptions create;
  create.directory = device->directory;
  if (const int status = CreateDevice(create); status != kExitSuccess) return status;
  std::string error;
  if (!DescribeDevice(device->directory, &device->report, &error)) return ReportError(error);
  if (!ReadWholeFile(device->directory / "nor.bin", &device->nor, &error))
    return ReportError(error);
  return kExitSuccess;
}

// Steps 2 and 3: the demo images in `work`, packaged onto the device's card with `keys`.
int PackageDemoImages(const std::filesystem::path& work, const std::string& keys,
                      PackageOptions* package, std::ostream& out) {
  out << "2. Demo images in " << work.string() << " (removed once signed onto the card)\n";
  std::string error;
  std::error_code code;
  std::filesystem::create_directory(work, code);
  if (code) return ReportError(work.string() + ": cannot be made (" + code.message() + ")");
  for (std::uint32_t i = 0; i < std::size(kDemoImages); ++i) {
    const DemoImageSpec& spec = kDemoImages[i];
    const Bytes image = DemoImageBytes(i);
    if (!WriteFileAtomically(work / spec.file, image, Existing::Keep, &error))
      return ReportError(error);
    out << "     " << spec.file << ": " << spec.size << " bytes\n";
  }
  out << "3. The package, signed with " << keys << ", onto the card\n";
  package->keys = keys;
  package->bootloader = work / "bootloader.bin";
  package->sdisk = work / "sdisk.img";
  package->imageEa1 = work / "ea1.img";
  package->imageEa2 = work / "ea2.img";
  package->imageEb = work / "eb.img";
  const int status = BuildPackage(*package);
  // The card holds what they were; the device's directory keeps only the device and the
  // transcript.
  for (const DemoImageSpec& spec : kDemoImages) std::filesystem::remove(work / spec.file, code);
  if (status != kExitSuccess) return status;
  for (const auto& [file, size] : CardFiles(package->card))
    out << "     " << CardPath(file) << ": " << size << " bytes\n";
  return kExitSuccess;
}

// Step 4: the update, in the terminal UI or headless (answering OK); the updater's status.
int RunDemoUpdate(const std::filesystem::path& directory, const std::filesystem::path& work,
                  UpdaterPlatform platform, bool headless, std::ostream& out) {
  RunOptions run;
  run.directory = directory;
  run.platform = platform;
  run.headless = headless;
  run.transcript = work / "transcript.jsonl";
  if (headless) {
    run.answers = "ok";
    out << "4. The update, headless (the confirmation answered OK)\n";
  } else {
    setenv("ORVANTA_UI", "tui", 1);
    out << "4. The update in the terminal: confirm with Enter\n";
  }
  out.flush();
  const int updaterStatus = RunUpdater(run);
  if (headless) PrintTranscript(work / "transcript.jsonl", out);
  return updaterStatus;
}

// The blocks whose bytes differ between two images of the geometry `report` describes.
std::vector<std::uint32_t> ChangedBlocks(const json& report, const Bytes& before,
                                         const Bytes& after) {
  std::vector<sim::FlashRegion> regions;
  for (const json& region : report["geometry"]["regions"])
    regions.push_back({region["count"].get<std::uint32_t>(), region["size"].get<std::uint32_t>()});
  const sim::BlockLayout layout(regions);
  std::vector<std::uint32_t> changed;
  for (std::uint32_t block = 0; block < layout.Count(); ++block) {
    const std::uint64_t end = layout.Start(block + 1);
    if (end <= before.size() && end <= after.size() &&
        std::memcmp(before.data() + layout.Start(block), after.data() + layout.Start(block),
                    layout.Size(block)) != 0)
      changed.push_back(block);
  }
  return changed;
}

// What the update changed on the device.
struct DemoChanges {
  json requestBefore, requestAfter;
  std::vector<std::uint32_t> rewrittenBlocks;
  bool bootloaderProgrammed = false;
  std::map<std::string, std::uint64_t> newCardFiles;
  json journal = json::array();
};

DemoChanges ChangesOf(const DemoDevice& before, const json& after, const Bytes& norAfter,
                      const std::filesystem::path& card) {
  DemoChanges changes;
  changes.requestBefore = before.report["update_request"];
  changes.requestAfter = after["update_request"];
  changes.rewrittenBlocks = ChangedBlocks(after, before.nor, norAfter);
  const Bytes bootloader = DemoImageBytes(0);
  changes.bootloaderProgrammed = norAfter.size() >= bootloader.size() &&
                                 std::equal(bootloader.begin(), bootloader.end(), norAfter.begin());
  for (const auto& [file, size] : CardFiles(card))
    if (file == "syaffs.bc" || file == "_seboot.nb0") changes.newCardFiles[file] = size;
  for (std::size_t i = before.report["journal"].size(); i < after["journal"].size(); ++i)
    changes.journal.push_back(after["journal"][i]);
  return changes;
}

// Step 5: what the update changed, then the device report.
void PrintDemoChanges(const DemoChanges& changes, const json& after) {
  auto request = [](const json& value) { return value.is_null() ? "none" : value.dump(); };
  std::cout << "5. What changed on the device\n"
            << "     update request (record 37): " << request(changes.requestBefore) << " -> "
            << request(changes.requestAfter) << "\n"
            << "     flash blocks rewritten: " << BlockRanges(changes.rewrittenBlocks) << "\n";
  std::cout << "     the flash from block 0 holds the new bootloader: "
            << (changes.bootloaderProgrammed ? "yes" : "no") << "\n";
  for (const auto& [file, size] : changes.newCardFiles)
    std::cout << "     new on the card: " << CardPath(file) << " (" << size << " bytes)\n";
  for (const json& entry : changes.journal) std::cout << "     journal: " << entry.dump() << "\n";
  std::cout << "\n";
  PrintDeviceReport(after, isatty(STDOUT_FILENO) == 1);
}

// Whether `directory` may become the demo's device: absent, or an empty directory.
bool FreeForADevice(const std::filesystem::path& directory, std::string* error) {
  std::error_code code;
  if (!std::filesystem::exists(directory, code)) return true;
  if (std::filesystem::is_directory(directory, code) && std::filesystem::is_empty(directory, code))
    return true;
  *error = directory.string() +
           ": exists and is not an empty directory; the demo makes a new "
           "device (name a new directory, or none for a temporary one)";
  return false;
}

int RunDemo(const DemoArguments& arguments) {
  std::string error;
  DemoDevice device;
  if (arguments.directory) {
    device.directory = *arguments.directory;
    if (!FreeForADevice(device.directory, &error)) return ReportError(error);
  } else {
    std::error_code code;
    std::string name =
        (std::filesystem::temp_directory_path(code) / "orvanta-demo-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
      return ReportError("cannot make a device directory in " +
                         std::filesystem::path(name).parent_path().string() + ": " +
                         std::strerror(errno));
    device.directory = name;
  }
  // With --json the steps are not told; one object says how the demo ended.
  std::ostream silent(nullptr);
  std::ostream& out = arguments.json ? silent : std::cout;
  if (const int status = CreateDemoDevice(&device, out); status != kExitSuccess) return status;
  // The demo's images and transcript stay beside the device's own files, in its directory.
  const std::filesystem::path work = device.directory / "demo";
  PackageOptions package;
  package.card = device.directory / "SD Card";
  if (const int status = PackageDemoImages(work, arguments.keys, &package, out);
      status != kExitSuccess)
    return status;

  const bool onTerminal = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
  // The Windows updater has no terminal UI.
  const bool headless = arguments.headless || arguments.json || !onTerminal ||
                        arguments.platform == UpdaterPlatform::Windows;
  const int updaterStatus =
      RunDemoUpdate(device.directory, work, arguments.platform, headless, out);
  json after;
  if (!DescribeDevice(device.directory, &after, &error)) return ReportError(error);
  Bytes norAfter;
  if (!ReadWholeFile(device.directory / "nor.bin", &norAfter, &error)) return ReportError(error);
  const DemoChanges changes = ChangesOf(device, after, norAfter, package.card);
  const int status = updaterStatus != 0                ? updaterStatus
                     : changes.requestAfter != json(1) ? kExitNegative
                                                       : kExitSuccess;
  if (arguments.json) {
    json files = json::object();
    for (const auto& [file, size] : changes.newCardFiles) files[file] = size;
    std::cout << json{{"device", device.directory.string()},
                      {"status", status},
                      {"update_request", changes.requestAfter},
                      {"rewritten_blocks", changes.rewrittenBlocks},
                      {"bootloader_programmed", changes.bootloaderProgrammed},
                      {"new_card_files", files},
                      {"journal", changes.journal}}
                     .dump()
              << "\n";
    return status;
  }
  PrintDemoChanges(changes, after);
  if (updaterStatus != 0)
    std::cout << "The update did not end in a restart (exit status " << updaterStatus << ").\n";
  else if (status != kExitSuccess)
    std::cout << "The updater restarted the device but no update request is stored.\n";
  else
    std::cout << "The update ended in a restart; the new bootloader takes over from the card.\n";
  std::cout << "The device stays in " << device.directory.string() << " (the run's transcript in "
            << work.string() << "): orvanta device show " << BashQuote(device.directory.string())
            << " shows it again; remove the directory when done.\n";
  return status;
}

// --platform of run and demo.
void AddPlatformOption(CLI::App* command, UpdaterPlatform* platform) {
  command
      ->add_option_function<std::string>(
          "--platform",
          [platform](const std::string& name) {
            *platform = name == "windows" ? UpdaterPlatform::Windows : UpdaterPlatform::Host;
          },
          "the updater to run: host (OrvantaUpdate of this build) or windows "
          "(OrvantaUpdate.exe of the windows preset under wine64, through "
          "scripts/windows-updater; headless, its real windows answered from inside it)")
      ->type_name("PLATFORM")
      ->check(CLI::IsMember({"host", "windows"}));
}

}  // namespace

int RunUpdater(const RunOptions& options) {
  const sim::DevicePaths paths{UseDevice(options.directory)};
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths);
  if (!loaded) return ReportError(loaded.error);
  std::string error;
  const bool windows = options.platform == UpdaterPlatform::Windows;
  const std::filesystem::path updater = windows ? WindowsUpdaterPath(&error) : UpdaterPath(&error);
  if (updater.empty()) return ReportError(error);
  if (access(updater.c_str(), X_OK) != 0)
    return ReportError(updater.string() + ": " + std::strerror(errno));
  // The Windows program has no terminal UI.
  if (options.headless || windows) setenv("ORVANTA_UI", "headless", 1);
  if (options.answers) setenv("ORVANTA_ANSWERS", options.answers->c_str(), 1);
  if (options.transcript) {
    std::error_code code;
    const std::filesystem::path transcript = std::filesystem::absolute(*options.transcript, code);
    setenv("ORVANTA_TRANSCRIPT", transcript.c_str(), 1);
  }
  std::cout.flush();
  std::cerr.flush();
  // The headless transcript on standard output, passed on line by line and kept in a copy.
  int output[2] = {-1, -1};
  std::ofstream copy;
  if (options.copyOfOutput) {
    copy.open(*options.copyOfOutput, std::ios::binary | std::ios::trunc);
    if (!copy || pipe(output) != 0)
      return ReportError("cannot keep the transcript: " + std::string(std::strerror(errno)));
  }
  const pid_t child = fork();
  if (child < 0)
    return ReportError("cannot start " + updater.string() + ": " + std::strerror(errno));
  if (child == 0) {
    if (output[1] >= 0) {
      dup2(output[1], STDOUT_FILENO);
      close(output[0]);
      close(output[1]);
    }
    // Under user-mode emulation without binfmt_misc the kernel cannot start the updater by
    // itself: ORVANTA_EMULATOR names the emulator to start it through (qemu-arm, say).
    const char* emulator = std::getenv("ORVANTA_EMULATOR");
    if (windows)
      execl(updater.c_str(), updater.c_str(), static_cast<char*>(nullptr));
    else if (emulator != nullptr && *emulator != '\0')
      execlp(emulator, emulator, updater.c_str(), static_cast<char*>(nullptr));
    else
      execl(updater.c_str(), kUpdaterName, static_cast<char*>(nullptr));
    std::fprintf(stderr, "orvanta: cannot run %s: %s\n", updater.c_str(), std::strerror(errno));
    _exit(kExitError);
  }
  if (output[1] >= 0) {
    close(output[1]);
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(output[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      std::cout.write(buffer, got).flush();
      copy.write(buffer, got);
    }
    close(output[0]);
    copy.flush();
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
      app.add_subcommand("run", "run OrvantaUpdate on a device, then say how the run ended");
  runCommand->add_option("DIR", run->directory, "the device directory")
      ->type_name("DIR")
      ->required();
  runCommand->add_flag("--headless", run->headless,
                       "no terminal UI: answers from --answers, a transcript of what was shown");
  runCommand
      ->add_option("--answers", run->answers,
                   "message-box answers: comma-separated ok, cancel, none, plug, unplug")
      ->type_name("LIST");
  runCommand
      ->add_option("--transcript", run->transcript,
                   "write the transcript to FILE (headless: default standard output)")
      ->type_name("FILE");
  runCommand->add_flag("--json", run->json,
                       "end with {\"outcome\", \"status\", \"update_request\", \"messages\"}");
  AddPlatformOption(runCommand, &run->platform);
  runCommand->footer(
      "Exit status:\n"
      "  0    the device restarted with the update request stored\n"
      "  1    the updater reported that the upgrade failed\n"
      "  2    the updater could not start (one line on standard error says why)\n"
      "  4    the user cancelled: the confirmation or a power prompt answered Cancel (the\n"
      "       transcript tells; without one a cancel is 1)\n"
      "  137  the simulated power was cut during the run (a power_cut_after fault)\n"
      "  255  another instance was running and was brought to the foreground\n"
      "  128+N  a signal N ended the updater\n\n"
      "Examples:\n  orvanta run ./device\n"
      "  orvanta run ./device --headless --answers ok --transcript run.jsonl\n"
      "  orvanta run ./device --platform windows --headless --answers ok\n");
  runCommand->callback([run, status] {
    RunOptions options;
    options.directory = run->directory;
    options.platform = run->platform;
    options.headless = run->headless;
    options.answers = run->answers;
    if (run->transcript) options.transcript = *run->transcript;
    // How the run ended is told from a transcript: the one asked for, or a private one (the
    // terminal UI leaves nothing on the screen; a headless transcript on standard output is
    // passed on and kept).
    std::optional<TemporaryTranscript> privateTranscript;
    std::optional<std::filesystem::path> transcript = options.transcript;
    if (!options.transcript) {
      std::string error;
      if (!privateTranscript.emplace(&error).Path().empty()) {
        transcript = privateTranscript->Path();
        if (UsesTerminalUi(options))
          options.transcript = transcript;
        else
          options.copyOfOutput = transcript;
      } else {
        std::cerr << "orvanta: " << error << " (a cancel is reported as a failure)\n";
      }
    }
    const std::size_t journalBefore = JournalLength(run->directory);
    const int updaterStatus = RunUpdater(options);
    *status = updaterStatus;
    if (updaterStatus == kExitError) return;  // it could not start: one line said why
    const Outcome outcome = OutcomeOf(run->directory, journalBefore, transcript, updaterStatus);
    // A transcript on standard output shows the messages already.
    PrintOutcome(outcome, !options.copyOfOutput, run->json);
    *status = outcome.status;
  });

  auto demo = std::make_shared<DemoArguments>();
  CLI::App* demoCommand = app.add_subcommand(
      "demo", "a new device, a signed demo package, the update, and what it changed");
  demoCommand
      ->add_option("DIR", demo->directory,
                   "the device directory to create, absent or empty (default: a new one in the "
                   "temporary directory); it stays, with the run's transcript in DIR/demo")
      ->type_name("DIR");
  demoCommand
      ->add_option("--keys", demo->keys,
                   "private keys to sign with (default: the development keys the updater was "
                   "built with)")
      ->type_name("DIR");
  demoCommand->add_flag("--headless", demo->headless, "no terminal UI even on a terminal");
  demoCommand->add_flag("--json", demo->json,
                        "run headless and print only one JSON object of what changed");
  AddPlatformOption(demoCommand, &demo->platform);
  demoCommand->footer(
      "Examples:\n  orvanta demo\n  orvanta demo ./demo-device --headless\n"
      "  orvanta demo --platform windows\n");
  demoCommand->callback([demo, status] { *status = RunDemo(*demo); });
}

}  // namespace orvanta
