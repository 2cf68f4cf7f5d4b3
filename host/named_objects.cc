#include "host/named_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "host/card_path.h"
#include "platform/core_library.h"

namespace host {
namespace {

// Longest escaped stem kept whole; longer ones are cut and given a hash, which keeps file
// names well below the host's 255-byte limit.
constexpr std::size_t kLongestStem = 160;
constexpr std::size_t kCutStem = 140;

struct Record {
  pid_t process;
  std::uint64_t startTime;
};

std::vector<Record> ReadRecords(int descriptor) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t count = ::pread(descriptor, buffer, sizeof buffer, offset);
    if (count <= 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
    offset += count;
  }
  std::vector<Record> records;
  std::istringstream lines(text);
  long long process = 0;
  unsigned long long startTime = 0;
  while (lines >> process >> startTime)
    records.push_back({static_cast<pid_t>(process), static_cast<std::uint64_t>(startTime)});
  return records;
}

void WriteRecords(int descriptor, const std::vector<Record>& records) {
  std::string text;
  for (const Record& record : records)
    text += std::to_string(record.process) + " " + std::to_string(record.startTime) + "\n";
  if (::ftruncate(descriptor, 0) != 0) return;
  [[maybe_unused]] const ssize_t written = ::pwrite(descriptor, text.data(), text.size(), 0);
}

bool IsRunning(const Record& record) {
  const std::optional<std::uint64_t> startTime = ProcessStartTime(record.process);
  return startTime && *startTime == record.startTime;
}

}  // namespace

std::optional<std::uint64_t> ProcessStartTime(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return std::nullopt;
  // The command name (field 2) is in parentheses and may hold spaces; count from its end.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  // Fields 3 (state) to 21, then 22: the start time.
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return std::nullopt;
    if (index == 3 && (field == "Z" || field == "X")) return std::nullopt;  // ended, not reaped
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

std::optional<std::string> ObjectFileStem(std::u16string_view name) {
  const std::optional<std::string> utf8 = Utf8FromUtf16(name);
  if (!utf8) return std::nullopt;
  std::string stem;
  for (const char c : *utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '_' || byte == '-') {
      stem += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      stem += escaped;
    }
  }
  if (stem.empty()) stem = "%";
  if (stem.size() > kLongestStem) {
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the whole UTF-8 name
    for (const char c : *utf8) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001B3ull;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    stem = stem.substr(0, kCutStem) + suffix;
  }
  return stem;
}

std::optional<std::filesystem::path> ObjectDirectory(const sim::DevicePaths& device,
                                                     std::string_view kind) {
  std::error_code code;
  if (!std::filesystem::is_directory(device.root, code)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  std::filesystem::path directory = std::filesystem::absolute(device.root, code) / ".kernel" / kind;
  std::filesystem::create_directories(directory, code);
  if (code) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return directory.lexically_normal();
}

LockedFile::LockedFile(const std::filesystem::path& path) {
  descriptor_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor_ < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return;
  }
  int result = 0;
  do {
    result = ::flock(descriptor_, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ::close(descriptor_);
    descriptor_ = -1;
    SetLastError(ERROR_ACCESS_DENIED);
  }
}

LockedFile::~LockedFile() {
  if (descriptor_ >= 0) ::close(descriptor_);  // also drops the flock
}

std::optional<bool> NamedObjectHolders::EnterLocked(const std::filesystem::path& path,
                                                    const LockedFile& file) {
  const pid_t self = ::getpid();
  const std::optional<std::uint64_t> selfStart = ProcessStartTime(self);
  if (!selfStart) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  Count& count = counts_[path.string()];
  // A forked child inherits the parent's counts but not its handles' standing in the file.
  if (count.process != self) count = Count{self, 0};

  std::vector<Record> live;
  bool othersHold = false;
  for (const Record& record : ReadRecords(file.Descriptor())) {
    if (record.process == self) {
      if (count.handles > 0) live.push_back(record);
      continue;  // a record of ours without handles is left over from before an exec
    }
    if (IsRunning(record)) {
      live.push_back(record);
      othersHold = true;
    }
  }
  const bool existed = othersHold || count.handles > 0;
  if (count.handles == 0) live.push_back({self, *selfStart});
  ++count.handles;
  WriteRecords(file.Descriptor(), live);
  return existed;
}

void NamedObjectHolders::LeaveLocked(const std::filesystem::path& path, const LockedFile& file) {
  const pid_t self = ::getpid();
  const auto found = counts_.find(path.string());
  if (found == counts_.end() || found->second.process != self || found->second.handles == 0) return;
  if (--found->second.handles > 0) return;
  std::vector<Record> live;
  for (const Record& record : ReadRecords(file.Descriptor()))
    if (record.process != self && IsRunning(record)) live.push_back(record);
  WriteRecords(file.Descriptor(), live);
}

void NamedObjectHolders::Leave(const std::filesystem::path& path) {
  std::lock_guard guard(lock_);
  LockedFile file(path);
  if (!file.IsOpen()) return;
  LeaveLocked(path, file);
}

NamedObjectHolders& Holders() {
  static NamedObjectHolders* holders = new NamedObjectHolders;
  return *holders;
}

}  // namespace host
