// A hostile neighbour for whole-run tests: another process on the same simulated device as a
// running updater, using the same platform and the same settings store.
//
//   orvanta_neighbour DEVICE CUE ACTION [ARGUMENT...]
//
// DEVICE is the device directory. CUE is "now", "transcript:TEXT" or "journal:TEXT": the
// action starts once DEVICE/transcript.jsonl (or DEVICE/journal.jsonl) contains TEXT, for
// instance the counter text "Operation 6 of 6:"; when DEVICE/neighbour.stop appears first, the
// neighbour ends without acting ("cue never came"). Actions:
//
//   hold ORDER MILLISECONDS     takes the two mutexes one after the other in ORDER ("cfg-nor" or
//                               "nor-cfg"), or NOR_SYN_OBJ alone ("nor"), each waited for
//                               without a time limit, says "held ORDER", holds them for
//                               MILLISECONDS or until DEVICE/neighbour.stop exists, releases them
//   cycles ORDER                store cycles (open, lock, load, unlock, close) in a loop until
//                               DEVICE/neighbour.stop exists; with ORDER "cfg-nor" or "nor-cfg"
//                               each cycle runs inside a hold of both mutexes taken in that
//                               order, with "store" as the store takes them itself
//   write-mapping FILE OFFSET COUNT
//                               creates the mapping "_Corvelle_MMF_" over card file FILE (made
//                               OFFSET + COUNT bytes long when missing) and writes COUNT bytes
//                               0x5A at OFFSET through a writable view
//   map FILE                    creates the mapping "_Corvelle_MMF_" over card file FILE, read
//                               only, says "mapped" and holds it until DEVICE/neighbour.stop
//                               exists
//   witness FILE                opens NOR_SYN_OBJ and says "opened"; once DEVICE/FILE exists,
//                               tries it once without waiting, releases it when taken and says
//                               "wait RESULT" (the wait's result: a handle opened before an
//                               updater that ended holding it sees WAIT_ABANDONED)
//   rewrite FILE SOURCE         copies card file SOURCE over card file FILE
//   truncate FILE               opens card file FILE for writing, truncating it
//
// Card files are named as on the device's card ("_seboot.nb0" is "\SD Card\_seboot.nb0").
// Prints one line saying what happened; exits 0 when the action ran (whatever the platform
// answered), 2 on a usage error. The same program builds for Windows, where it runs under Wine
// beside the Windows updater (scripts/windows-updater, with DEVICE "." on the device's drive).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "flash/nor_flash_mutex.h"
#include "platform/core_library.h"
#include "settings/settings_mutex.h"
#include "settings/settings_store.h"

namespace {

std::filesystem::path device;

std::basic_string<WCHAR> CardPath(const std::string& name) {
  std::basic_string<WCHAR> path = TEXT("\\SD Card\\");
  for (char c : name) path.push_back(c == '/' ? TEXT('\\') : static_cast<WCHAR>(c));
  return path;
}

bool FileContains(const std::filesystem::path& path, const std::string& text) {
  std::ifstream stream(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(stream)),
                            std::istreambuf_iterator<char>());
  return content.find(text) != std::string::npos;
}

bool StopAsked() {
  return std::filesystem::exists(device / "neighbour.stop");
}

// Says `line` at once: the bench waits for it while this process goes on.
void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// False when DEVICE/neighbour.stop appeared first: the run ended before the cue came.
bool WaitForCue(const std::string& cue) {
  if (cue == "now") return true;
  const std::size_t colon = cue.find(':');
  const std::string source = cue.substr(0, colon);
  const std::string text = cue.substr(colon + 1);
  const std::filesystem::path path =
      device / (source == "journal" ? "journal.jsonl" : "transcript.jsonl");
  while (!FileContains(path, text)) {
    if (StopAsked()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The two mutexes in `order`; false for an order that names none ("store").
bool TakeBoth(const std::string& order, HANDLE settings, HANDLE flash) {
  if (order == "nor") {
    WaitForSingleObject(flash, INFINITE);
    return true;
  }
  if (order != "cfg-nor" && order != "nor-cfg") return false;
  const HANDLE first = order == "cfg-nor" ? settings : flash;
  const HANDLE second = order == "cfg-nor" ? flash : settings;
  WaitForSingleObject(first, INFINITE);
  WaitForSingleObject(second, INFINITE);
  return true;
}

void ReleaseBoth(const std::string& order, HANDLE settings, HANDLE flash) {
  ReleaseMutex(flash);
  if (order != "nor") ReleaseMutex(settings);
}

int Hold(const std::string& order, int milliseconds) {
  const HANDLE settings = CreateMutexW(nullptr, FALSE, kSettingsMutexName);
  const HANDLE flash = CreateMutexW(nullptr, FALSE, kNorFlashMutexName);
  if (!TakeBoth(order, settings, flash)) return 2;
  Say("held " + order);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < until && !StopAsked()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ReleaseBoth(order, settings, flash);
  return 0;
}

int Cycles(const std::string& order) {
  const HANDLE settings = CreateMutexW(nullptr, FALSE, kSettingsMutexName);
  const HANDLE flash = CreateMutexW(nullptr, FALSE, kNorFlashMutexName);
  if (order != "store" && order != "cfg-nor" && order != "nor-cfg") return 2;
  long cycles = 0;
  while (!StopAsked()) {
    const bool held = TakeBoth(order, settings, flash);
    SettingsStore::Open();
    SettingsStore::Lock();
    SettingsStore::Load();
    SettingsStore::Unlock();
    SettingsStore::Close();
    if (held) ReleaseBoth(order, settings, flash);
    ++cycles;
    // A moment between cycles, as another program's would have; without it the loop could
    // keep the mutexes to itself and starve the updater rather than deadlock it.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::printf("cycles %ld\n", cycles);
  return 0;
}

int WriteMapping(const std::string& name, DWORD offset, DWORD count) {
  const std::basic_string<WCHAR> path = CardPath(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("file refused %lu\n", static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, offset + count,
                                      TEXT("_Corvelle_MMF_"));
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  BYTE* view = mapping == nullptr
                   ? nullptr
                   : static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (view != nullptr) {
    std::memset(view + offset, 0x5A, count);
    UnmapViewOfFile(view);
  }
  std::printf("mapping existed %d written %d\n", existed ? 1 : 0, view != nullptr ? 1 : 0);
  if (mapping != nullptr) CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}

int Map(const std::string& name) {
  const std::basic_string<WCHAR> path = CardPath(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE mapping = file == INVALID_HANDLE_VALUE
                       ? nullptr
                       : CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0,
                                            TEXT("_Corvelle_MMF_"));
  if (mapping == nullptr) {
    Say("map refused " + std::to_string(GetLastError()));
    return 0;
  }
  Say("mapped");
  while (!StopAsked()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}

int Witness(const std::string& ask) {
  const HANDLE flash = CreateMutexW(nullptr, FALSE, kNorFlashMutexName);
  if (flash == nullptr) return 2;
  Say("opened");
  while (!std::filesystem::exists(device / ask)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const DWORD wait = WaitForSingleObject(flash, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(flash);
  Say("wait " + std::to_string(wait));
  return 0;
}

int Rewrite(const std::string& name, const std::string& source) {
  const std::basic_string<WCHAR> target = CardPath(name);
  const std::basic_string<WCHAR> from = CardPath(source);
  const BOOL copied = CopyFileExW(from.c_str(), target.c_str(), nullptr, nullptr, nullptr, 0);
  std::printf("rewrite %s %lu\n", copied ? "done" : "refused",
              static_cast<unsigned long>(copied ? 0 : GetLastError()));
  return 0;
}

int Truncate(const std::string& name) {
  const std::basic_string<WCHAR> path = CardPath(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  std::printf("truncate %s %lu\n", file == INVALID_HANDLE_VALUE ? "refused" : "done",
              static_cast<unsigned long>(file == INVALID_HANDLE_VALUE ? GetLastError() : 0));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: orvanta_neighbour DEVICE CUE ACTION [ARGUMENT...]\n", stderr);
    return 2;
  }
  device = argv[1];
#ifdef _WIN32
  _putenv_s("ORVANTA_DEVICE", argv[1]);
#else
  setenv("ORVANTA_DEVICE", argv[1], 1);
#endif
  if (!WaitForCue(argv[2])) {
    std::puts("cue never came");
    return 0;
  }
  const std::string action = argv[3];
  const int rest = argc - 4;
  char** arguments = argv + 4;
  int status = 2;
  if (action == "hold" && rest == 2) {
    status = Hold(arguments[0], std::atoi(arguments[1]));
  } else if (action == "cycles" && rest == 1) {
    status = Cycles(arguments[0]);
  } else if (action == "write-mapping" && rest == 3) {
    status = WriteMapping(arguments[0], static_cast<DWORD>(std::atol(arguments[1])),
                          static_cast<DWORD>(std::atol(arguments[2])));
  } else if (action == "map" && rest == 1) {
    status = Map(arguments[0]);
  } else if (action == "witness" && rest == 1) {
    status = Witness(arguments[0]);
  } else if (action == "rewrite" && rest == 2) {
    status = Rewrite(arguments[0], arguments[1]);
  } else if (action == "truncate" && rest == 1) {
    status = Truncate(arguments[0]);
  }
  if (status == 2) std::fputs("orvanta_neighbour: bad action or arguments\n", stderr);
  std::fflush(stdout);
  return status;
}
