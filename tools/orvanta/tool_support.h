// What every orvanta subcommand shares: exit statuses, one-line errors, whole-file I/O and the
// rules for output files, hex text, the progress bar, and the step that points this process's
// system code at a device directory.
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
// inspect: the image is sound, but signed with another key than its card slot needs.
inline constexpr int kExitWrongKey = 3;
// run: the user cancelled (the confirmation, or a power prompt), as the transcript tells.
inline constexpr int kExitCancelled = 4;

// --verbose: errors carry the libraries' own detail.
void SetVerbose(bool verbose);
bool Verbose();

// Writes "orvanta: <message>" as one line on standard error and returns kExitError. With
// --verbose, OpenSSL's detail of the failure (the signer's) follows in parentheses.
int ReportError(std::string_view message);

// Whether an existing output file may be replaced (--force).
enum class Existing { Keep, Replace };

// Whether `output` may be written: it is not one of `inputs` (the same file under any name),
// not a directory, and, unless `existing` is Replace, does not exist. False with a one-line
// reason. Commands check every output so before they do any work.
bool CheckOutput(const std::filesystem::path& output, std::span<const std::filesystem::path> inputs,
                 Existing existing, std::string* error);

// Whole-file I/O. WriteFileAtomically writes a temporary file beside `path` and renames it to
// `path` (over an existing one only with Existing::Replace), so that a reader never sees half a
// file and a failed write leaves nothing. Both return false with a one-line reason naming the
// file.
bool ReadWholeFile(const std::filesystem::path& path, Bytes* content, std::string* error);
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> content,
                         Existing existing, std::string* error);

// Writes a file piece by piece into a new temporary file beside `path`, renamed to `path` by
// Commit (which, unless `existing` is Replace, fails rather than replace a file that appeared
// meanwhile); destroyed without a commit, it removes the temporary file and leaves `path` as
// it was.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Each returns false with a one-line reason naming the file.
  bool Open(const std::filesystem::path& path, Existing existing, std::string* error);
  bool Write(std::span<const std::uint8_t> bytes, std::string* error);
  bool Commit(std::string* error);
  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::filesystem::path path_, temporary_;
  Existing existing_ = Existing::Keep;
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

// Bytes written as hex digits (an even number of them), and back. Empty for other text.
std::optional<Bytes> FromHex(std::string_view text);
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
