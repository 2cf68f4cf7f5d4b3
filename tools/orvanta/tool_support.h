// What every orvanta subcommand shares: exit statuses, one-line errors, whole-file I/O, number
// and byte-string parsing, the progress bar, and the step that points this process's system code
// at a device directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta {

using Bytes = std::vector<std::uint8_t>;

// Exit statuses of the tool's own subcommands (`run` and `demo` pass the updater's through).
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitNegative = 1;  // the check ran and said no (verify, check-signature)
inline constexpr int kExitError = 2;     // a wrong argument, or the command could not do its work

// Writes "orvanta: <message>" as one line on standard error and returns kExitError.
int ReportError(std::string_view message);

// Whole-file I/O. WriteFileAtomically writes a temporary file beside `path` and renames it over
// `path`, so that a reader never sees half a file and a failed write leaves the old one. Both
// return false with a one-line reason naming the file.
bool ReadWholeFile(const std::filesystem::path& path, Bytes* content, std::string* error);
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> content,
                         std::string* error);

// Writes a file piece by piece into a temporary file beside `path`, renamed over `path` by
// Commit; destroyed without a commit, it removes the temporary file and leaves `path` as it was.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Each returns false with a one-line reason naming the file.
  bool Open(const std::filesystem::path& path, std::string* error);
  bool Write(std::span<const std::uint8_t> bytes, std::string* error);
  bool Commit(std::string* error);

 private:
  std::filesystem::path path_, temporary_;
  std::FILE* file_ = nullptr;
};

// A file mapped read-only, so that a large image costs no private memory: its pages come from
// the page cache as they are read. An empty file maps to an empty span.
class MappedImage {
 public:
  MappedImage() = default;
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  // Maps the file; false with a one-line reason naming it.
  bool Open(const std::filesystem::path& path, std::string* error);
  std::span<const std::uint8_t> Content() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  void* mapping_ = nullptr;
};

// An unsigned number in decimal or with a 0x prefix, with an optional K or M suffix (x1024,
// x1048576); nothing else may follow. Empty when the text is not such a number or overflows.
std::optional<std::uint64_t> ParseNumber(std::string_view text);

// Exactly `byteCount` bytes written as 2 x byteCount hex digits. Empty otherwise.
std::optional<Bytes> ParseHex(std::string_view text, std::size_t byteCount);
std::string ToHex(std::span<const std::uint8_t> bytes);

// UTF-8 and UTF-16LE bytes (for part numbers and record text). FromUtf8 fails on malformed
// UTF-8; Utf16LeToUtf8 fails on an odd length, unpaired surrogates or a NUL inside the text.
std::optional<Bytes> Utf8ToUtf16Le(std::string_view text);
std::optional<std::string> Utf16LeToUtf8(std::span<const std::uint8_t> bytes);

// Whether standard error is a terminal: progress bars and colour are drawn only then.
bool OnTerminal();

// A one-line progress bar on standard error, redrawn in place when the whole percentage
// changes, cleared when finished or destroyed. Draws nothing when standard error is not a
// terminal.
class ProgressBar {
 public:
  ProgressBar(std::string label, std::uint64_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(std::uint64_t done);
  void Finish();

 private:
  std::string label_;
  std::uint64_t total_;
  int shownPercent_ = -1;
  bool active_;
};

// Points the system code of this process (flash driver, settings store, host platform) at the
// device directory, by setting ORVANTA_DEVICE to its absolute path. Must run before the first
// flash or settings access, which reads the variable once. Returns the absolute path.
std::filesystem::path UseDevice(const std::filesystem::path& directory);

// Keeps how this process was started (its argv[0]) and the directory it started in, for
// ExecutableDirectory. main calls it before anything else.
void RememberInvocation(const char* argv0);

// The directory of the running orvanta executable, symbolic links resolved (installation.h finds
// the rest from it): from /proc/self/exe, or where that cannot be read, from argv[0] as the shell
// resolved it (a path with a slash against the directory the tool started in, a bare name
// against the absolute directories of PATH). Empty when neither tells; never the current
// directory by default.
std::filesystem::path ExecutableDirectory();

}  // namespace orvanta
