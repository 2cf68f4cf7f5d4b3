#include "tools/orvanta/tool_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>

#include "host/text/text_encoding.h"
#include "tools/signer/signer.h"

namespace orvanta {
namespace {

bool verbose = false;

}  // namespace

void SetVerbose(bool value) {
  verbose = value;
}

bool Verbose() {
  return verbose;
}

int ReportError(std::string_view message) {
  // One line: embedded newlines (from a library's message) become spaces.
  std::string line(message);
  if (const std::string detail = signer::TakeLibraryDetail(); verbose && !detail.empty())
    line += " (" + detail + ")";
  for (char& character : line)
    if (character == '\n' || character == '\r') character = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::cerr << "orvanta: " << line << '\n';
  return kExitError;
}

bool ReadWholeFile(const std::filesystem::path& path, Bytes* content, std::string* error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    *error = path.string() + ": is a directory";
    return false;
  }
  std::ifstream input(path, std::ios::binary);
  if (!input) {
    *error = path.string() + ": cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  input.seekg(0, std::ios::end);
  const std::streamoff size = input.tellg();
  input.seekg(0, std::ios::beg);
  if (size < 0) {
    *error = path.string() + ": cannot be read";
    return false;
  }
  content->resize(static_cast<std::size_t>(size));
  if (size > 0 && !input.read(reinterpret_cast<char*>(content->data()), size)) {
    *error = path.string() + ": cannot be read";
    return false;
  }
  return true;
}

MappedImage::~MappedImage() {
  if (mapping_ != nullptr) munmap(mapping_, size_);
}

bool MappedImage::Open(const std::filesystem::path& path, std::string* error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    *error = path.string() + ": is a directory";
    return false;
  }
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    *error = path.string() + ": cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = path.string() + ": is not a regular file";
    close(descriptor);
    return false;
  }
  size_ = static_cast<std::size_t>(status.st_size);
  if (size_ != 0) {
    void* mapping = mmap(nullptr, size_, PROT_READ, MAP_SHARED, descriptor, 0);
    if (mapping == MAP_FAILED) {
      *error = path.string() + ": cannot be mapped (" + std::strerror(errno) + ")";
      close(descriptor);
      size_ = 0;
      return false;
    }
    // One pass from the front: read ahead.
    madvise(mapping, size_, MADV_SEQUENTIAL);
    mapping_ = mapping;
    data_ = static_cast<const std::uint8_t*>(mapping);
  }
  close(descriptor);
  return true;
}

bool CheckOutput(const std::filesystem::path& output, std::span<const std::filesystem::path> inputs,
                 Existing existing, std::string* error) {
  std::error_code code;
  const std::filesystem::file_status status = std::filesystem::status(output, code);
  if (std::filesystem::is_directory(status)) {
    *error = output.string() + ": is a directory; name the file to write";
    return false;
  }
  if (!std::filesystem::exists(status)) return true;
  for (const std::filesystem::path& input : inputs) {
    if (std::filesystem::equivalent(output, input, code)) {
      *error = output.string() + ": is also an input (" + input.string() +
               "); it is never overwritten: write elsewhere";
      return false;
    }
  }
  if (existing == Existing::Keep) {
    *error = output.string() + ": exists; --force replaces it";
    return false;
  }
  return true;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  std::error_code ignored;
  std::filesystem::remove(temporary_, ignored);
}

bool AtomicFileWriter::Open(const std::filesystem::path& path, Existing existing,
                            std::string* error) {
  path_ = path;
  existing_ = existing;
  // A new name of its own beside the target, so that nothing of that name is overwritten and
  // two writers never share a temporary file.
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string name = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  const int descriptor = mkstemp(name.data());
  if (descriptor < 0) {
    *error = path.string() + ": cannot be written (" + std::strerror(errno) + ")";
    return false;
  }
  // mkstemp makes the file private; the output gets the permissions any new file gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(descriptor, 0666 & ~mask);
  temporary_ = name;
  file_ = fdopen(descriptor, "wb");
  if (file_ == nullptr) {
    close(descriptor);
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    *error = path.string() + ": cannot be written (" + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

bool AtomicFileWriter::Write(std::span<const std::uint8_t> bytes, std::string* error) {
  if (file_ != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size())
    return true;
  *error = path_.string() + ": cannot be written (" + std::strerror(errno) + ")";
  return false;
}

bool AtomicFileWriter::Commit(std::string* error) {
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  int failure = closed ? 0 : errno;
  if (closed && existing_ == Existing::Replace) {
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) failure = errno;
  } else if (closed) {
    // Renamed only where no file is: a file that appeared since the check is kept.
    if (renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
      failure = errno;
      if (failure == EINVAL || failure == ENOSYS) {
        // A file system without the flag: a hard link is just as exclusive.
        failure = link(temporary_.c_str(), path_.c_str()) == 0 ? 0 : errno;
        if (failure == 0) unlink(temporary_.c_str());
      }
    }
  }
  if (failure != 0) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    *error = path_.string() + (failure == EEXIST ? ": appeared meanwhile; --force replaces it"
                                                 : ": cannot be written (" +
                                                       std::string(std::strerror(failure)) + ")");
    return false;
  }
  return true;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> content,
                         Existing existing, std::string* error) {
  AtomicFileWriter writer;
  return writer.Open(path, existing, error) && writer.Write(content, error) && writer.Commit(error);
}

std::optional<Bytes> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char character = text[i];
    unsigned digit;
    if (character >= '0' && character <= '9') {
      digit = static_cast<unsigned>(character - '0');
    } else if (character >= 'a' && character <= 'f') {
      digit = static_cast<unsigned>(character - 'a' + 10);
    } else if (character >= 'A' && character <= 'F') {
      digit = static_cast<unsigned>(character - 'A' + 10);
    } else {
      return std::nullopt;
    }
    bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] << 4 | digit);
  }
  return bytes;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::optional<Bytes> Utf8ToUtf16Le(std::string_view text) {
  const std::optional<std::u16string> units = host::Utf16FromUtf8(text);
  if (!units) return std::nullopt;
  Bytes result;
  result.reserve(units->size() * 2);
  for (const char16_t unit : *units) {
    result.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    result.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return result;
}

std::optional<std::string> Utf16LeToUtf8(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) return std::nullopt;
    units.push_back(unit);
  }
  return host::Utf8FromUtf16(units);
}

bool OnTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

ProgressBar::ProgressBar(std::string label, std::uint64_t total)
    : label_(std::move(label)), total_(total), active_(OnTerminal()) {
  Update(0);
}

ProgressBar::~ProgressBar() {
  Finish();
}

void ProgressBar::Update(std::uint64_t done) {
  if (!active_) return;
  const int percent =
      total_ == 0 ? 100 : static_cast<int>((done > total_ ? total_ : done) * 100 / total_);
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r%-24.24s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!active_) return;
  active_ = false;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

std::filesystem::path UseDevice(const std::filesystem::path& directory) {
  std::error_code code;
  std::filesystem::path absolute = std::filesystem::absolute(directory, code);
  if (code) absolute = directory;
  absolute = absolute.lexically_normal();
  if (absolute.has_filename() == false && absolute.has_parent_path())
    absolute = absolute.parent_path();
  setenv("ORVANTA_DEVICE", absolute.c_str(), 1);
  return absolute;
}

namespace {

std::string invokedAs;
std::filesystem::path startDirectory;

// argv[0] as the shell found it: a name with a slash names the file itself, a bare name was
// looked up in PATH. Empty and relative PATH entries would be searched from the current
// directory, which says nothing about where the tool is installed; they are skipped.
std::filesystem::path InvokedFile() {
  if (invokedAs.empty()) return {};
  if (invokedAs.find('/') != std::string::npos) return startDirectory / invokedAs;
  const char* search = std::getenv("PATH");
  std::string_view rest = search == nullptr ? "" : search;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::filesystem::path entry(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    if (!entry.is_absolute()) continue;
    const std::filesystem::path file = entry / invokedAs;
    std::error_code code;
    if (std::filesystem::is_regular_file(file, code) && ::access(file.c_str(), X_OK) == 0)
      return file;
  }
  return {};
}

}  // namespace

void RememberInvocation(const char* argv0) {
  invokedAs = argv0 == nullptr ? "" : argv0;
  std::error_code code;
  startDirectory = std::filesystem::current_path(code);
}

std::filesystem::path ExecutableDirectory() {
  std::error_code code;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", code);
  if (code) {
    const std::filesystem::path invoked = InvokedFile();
    if (invoked.empty()) return {};
    self = std::filesystem::canonical(invoked, code);
    if (code) return {};
  }
  return self.parent_path();
}

}  // namespace orvanta
