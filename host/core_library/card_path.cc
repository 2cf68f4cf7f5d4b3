#include "host/core_library/card_path.h"

#include <sys/stat.h>

#include <vector>

#include "platform/core_library.h"

namespace host {
namespace {

constexpr std::string_view kCardRoot = "sd card";

bool IsSeparator(char16_t unit) {
  return unit == u'\\' || unit == u'/';
}

bool IsAllowedInName(char16_t unit) {
  if (unit < 0x20) return false;
  switch (unit) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
    case u'?':
    case u'*':
      return false;
    default:
      return true;
  }
}

std::string Lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::u16string_view ViewOf(LPCWSTR text) {
  if (text == nullptr) return {};
  std::size_t length = 0;
  // Bounded: a path that long is refused anyway, and an unterminated buffer is not read far.
  while (length <= kMaxPath && text[length] != u'\0') ++length;
  return std::u16string_view(text, length);
}

std::optional<std::filesystem::path> CardPath(const sim::DevicePaths& device,
                                              std::u16string_view devicePath, DWORD* error) {
  *error = ERROR_PATH_NOT_FOUND;
  if (devicePath.empty() || devicePath.size() >= kMaxPath) return std::nullopt;
  if (!IsSeparator(devicePath.front())) return std::nullopt;
  if (devicePath.find(u'\0') != std::u16string_view::npos) return std::nullopt;

  std::vector<std::u16string_view> components;
  std::size_t start = 0;
  while (start <= devicePath.size()) {
    std::size_t end = start;
    while (end < devicePath.size() && !IsSeparator(devicePath[end])) ++end;
    const std::u16string_view component = devicePath.substr(start, end - start);
    if (!component.empty() && component != u".") components.push_back(component);
    start = end + 1;
  }
  if (components.empty()) return std::nullopt;

  std::filesystem::path result = device.Card();
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::u16string_view component = components[i];
    if (component == u"..") return std::nullopt;
    const std::optional<std::string> name = Utf8FromUtf16(component);
    if (i == 0) {
      if (!name || Lowercase(*name) != kCardRoot) return std::nullopt;
      continue;
    }
    for (char16_t unit : component) {
      if (!IsAllowedInName(unit)) {
        *error = ERROR_INVALID_NAME;
        return std::nullopt;
      }
    }
    if (!name) {
      *error = ERROR_INVALID_NAME;
      return std::nullopt;
    }
    result /= *name;
    // The card's file system has no links: one placed on the host card is not followed, so
    // that no path leads out of the card (the card folder itself may be a link).
    struct stat status {};
    if (::lstat(result.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      *error = ERROR_ACCESS_DENIED;
      return std::nullopt;
    }
  }
  *error = ERROR_SUCCESS;
  return result;
}

std::optional<std::filesystem::path> CardPath(LPCWSTR devicePath) {
  DWORD error = ERROR_SUCCESS;
  std::optional<std::filesystem::path> path =
      CardPath(sim::CurrentDevice(), ViewOf(devicePath), &error);
  if (!path) SetLastError(error);
  return path;
}

}  // namespace host
