// The platform conformance suite: the platform behaviours the system relies on, stated once and
// run against every implementation of platform/ (the host natively and on arm, and the
// platform's own implementation as a Windows program under Wine).
//
// Each area is one table of cases; a case is one behaviour, named after it, run on a fresh
// Card. PLATFORM_CONFORMANCE_CASES(Area, table) makes the tests PlatformConformanceArea.Case/Name.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/core_library.h"

namespace conformance {

using Text = std::basic_string<WCHAR>;
using Bytes = std::string;

// Wide text from ASCII.
Text Widen(std::string_view ascii);

// A fresh, empty folder on the storage card for one case, removed afterwards: on the host the
// card of a temporary device, on Windows a temporary folder.
class Card {
 public:
  Card();
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // The platform path of `name` in the folder, for the calls under test.
  Text Path(const std::string& name) const;
  // The same file for the case's own setup and checks, through the C++ library.
  std::filesystem::path HostPath(const std::string& name) const;
  void Write(const std::string& name, const Bytes& content) const;
  Bytes Read(const std::string& name) const;
  // Makes the file `size` bytes long without writing them (a sparse file where the file
  // system has them).
  void Resize(const std::string& name, std::uint64_t size) const;
  void MakeReadOnly(const std::string& name) const;
  // A kernel object name that no other case and no other process uses.
  Text ObjectName(const std::string& base) const;

 private:
  std::filesystem::path root_;
};

// True when the platform under test is Wine's, where a case states a known difference.
bool OnWine();

struct Case {
  const char* name;
  void (*run)(Card& card);
};

// Opens an existing file with the given access and sharing, as the system does.
inline HANDLE Open(const Text& path, DWORD access, DWORD shareMode = 0) {
  return CreateFileW(path.c_str(), access, shareMode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

inline void PrintTo(const Case& testCase, std::ostream* stream) {
  *stream << testCase.name;
}

// Wine run by root lets root write files that carry the read-only attribute, which the platform
// refuses to anyone. The system on the device never runs so; the cases about read-only files
// state the platform's behaviour, which the host follows, and are skipped there.
inline bool ReadOnlyIgnored(const Card& card, const std::string& name) {
  if (!OnWine()) return false;
  const HANDLE file = Open(card.Path(name), GENERIC_WRITE);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}
inline constexpr const char* kReadOnlyIgnored =
    "Wine run by root opens read-only files for writing; the platform and the host do not";

struct CaseName {
  std::string operator()(const testing::TestParamInfo<Case>& info) const { return info.param.name; }
};

}  // namespace conformance

#define PLATFORM_CONFORMANCE_CASES(area, table)                                          \
  class PlatformConformance##area : public testing::TestWithParam<conformance::Case> {}; \
  TEST_P(PlatformConformance##area, Case) {                                              \
    conformance::Card card;                                                              \
    GetParam().run(card);                                                                \
  }                                                                                      \
  INSTANTIATE_TEST_SUITE_P(, PlatformConformance##area, testing::ValuesIn(table),        \
                           conformance::CaseName())
