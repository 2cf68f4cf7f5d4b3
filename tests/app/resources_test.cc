// The program's resources as the platform's loader reads them from the compiled resource script:
// on the host bench the resources linked into this test program, read by the host's loader; on
// Windows both program files, OrvantaUpdate.exe for x86_64 and for i686, read by the platform.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/resources/resource_ids.h"
#ifdef _WIN32
#include "platform/dialog_framework.h"
// After <windows.h>, which it needs.
#include <winver.h>
#else
#include "host/dialog_framework/resources.h"
#endif

namespace {

using Text = std::basic_string<WCHAR>;

// A module that holds the program's resources.
struct Program {
  std::string name;
  HMODULE module = nullptr;
  std::wstring path;  // the program file (Windows)
};

#ifdef _WIN32
// The program files sit beside this test program (x86_64) and in the i686 build.
std::vector<Program> Programs() {
  WCHAR self[MAX_PATH];
  const std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  std::vector<Program> programs = {{"x86_64", nullptr, folder + L"OrvantaUpdate.exe"},
                                   {"i686", nullptr, folder + L"..\\i686\\bin\\OrvantaUpdate.exe"}};
  for (Program& program : programs) {
    program.module = LoadLibraryExW(program.path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  return programs;
}

// The version block as GetFileVersionInfoW reads it from the program file.
std::vector<BYTE> VersionBlock(const Program& program) {
  DWORD handle = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(program.path.c_str(), &handle));
  if (block.empty() || !GetFileVersionInfoW(program.path.c_str(), 0,
                                            static_cast<DWORD>(block.size()), block.data())) {
    block.clear();
  }
  return block;
}
#else
std::vector<Program> Programs() {
  return {{"host", AppInstance(), std::wstring()}};
}

std::vector<BYTE> VersionBlock(const Program& program) {
  HRSRC resource = FindResourceW(program.module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  const auto* bytes =
      static_cast<const BYTE*>(LockResource(LoadResource(program.module, resource)));
  if (bytes == nullptr) return {};
  return std::vector<BYTE>(bytes, bytes + SizeofResource(program.module, resource));
}
#endif

template <typename T>
T Read(const BYTE* data, std::size_t offset) {
  T value;
  std::memcpy(&value, data + offset, sizeof value);
  return value;
}

// The bytes of resource `name` of `type`, empty when there is none.
std::vector<BYTE> ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
  HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return {};
  const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
  return std::vector<BYTE>(bytes, bytes + SizeofResource(module, resource));
}

// Each test reads every program file in turn.
class ResourcesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { programs_ = new std::vector<Program>(Programs()); }
  static void TearDownTestSuite() {
    delete programs_;
    programs_ = nullptr;
  }
  // Runs `check` on each program file.
  void ForEachProgram(const std::function<void(const Program&)>& check) {
    for (const Program& program : *programs_) {
      SCOPED_TRACE(program.name);
      ASSERT_NE(program.module, nullptr) << "cannot load the program file";
      check(program);
    }
  }
  static Text String(HMODULE module, UINT id) {
    WCHAR buffer[512];
    const int length = LoadStringW(module, id, buffer, static_cast<int>(std::size(buffer)));
    return Text(buffer, static_cast<std::size_t>(length));
  }

 private:
  static inline std::vector<Program>* programs_ = nullptr;
};

TEST_F(ResourcesTest, StringTableHoldsTheSevenTextsVerbatim) {
  ForEachProgram([](const Program& program) {
    const HMODULE module = program.module;
    EXPECT_EQ(String(module, 129), TEXT("The Orvanta must be connected to external power."));
    EXPECT_EQ(String(module, 130), TEXT("Failed to complete upgrade."));
    EXPECT_EQ(String(module, 131), TEXT("Operation %d of %d:"));
    EXPECT_EQ(String(module, 132),
              TEXT("Performing this upgrade will delete all programs and data on this device. ")
                  TEXT("Please make sure that all data is backed up before proceeding. Continue?"));
    EXPECT_EQ(String(module, 133), TEXT("There is not enough free space available on the SD ")
                                       TEXT("Card to complete the operation."));
    EXPECT_EQ(String(module, 134), TEXT("There are missing or corrupt installation files."));
    EXPECT_EQ(String(module, 135), TEXT("Do not turn off the Orvanta or remove external power!"));
  });
}

// Ids 128 and 136 share the string blocks of 129 and 135 (ids 128..143 are block 9).
TEST_F(ResourcesTest, LoadStringTruncatesToTheBufferAndReportsMissingIds) {
  ForEachProgram([](const Program& program) {
    WCHAR buffer[8] = {TEXT('x')};
    EXPECT_EQ(LoadStringW(program.module, 130, buffer, 8), 7);
    EXPECT_EQ(Text(buffer), TEXT("Failed "));
    EXPECT_EQ(LoadStringW(program.module, 128, buffer, 8), 0);
    EXPECT_EQ(buffer[0], TEXT('\0'));
    EXPECT_EQ(LoadStringW(program.module, 136, buffer, 8), 0);
    EXPECT_EQ(LoadStringW(program.module, 4000, buffer, 8), 0);
    // A buffer of no size takes a read-only pointer to the stored text, which has no terminator.
    LPCWSTR stored = nullptr;
    ASSERT_EQ(LoadStringW(program.module, 130, reinterpret_cast<LPWSTR>(&stored), 0), 27);
    EXPECT_EQ(Text(stored, 27), TEXT("Failed to complete upgrade."));
  });
}

// Icon 128 is one group of eight images, 16, 24, 32 and 48 pixels square, each in 256 colours
// and in 32-bit colour: every image a bitmap whose header agrees with its group entry and whose
// size covers header, palette, colour bits and mask.
TEST_F(ResourcesTest, Icon128IsAGroupOfEightImages) {
  ForEachProgram([](const Program& program) {
    const std::vector<BYTE> group =
        ResourceBytes(program.module, MAKEINTRESOURCEW(128), RT_GROUP_ICON);
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(Read<WORD>(group.data(), 2), 1);  // icons, not cursors
    const WORD count = Read<WORD>(group.data(), 4);
    ASSERT_EQ(count, 8);
    ASSERT_EQ(group.size(), 6u + 14u * count);
    std::set<std::pair<int, int>> seen;
    for (WORD index = 0; index < count; ++index) {
      const std::size_t entry = 6 + 14 * index;
      const int width = group[entry] == 0 ? 256 : group[entry];
      const int height = group[entry + 1] == 0 ? 256 : group[entry + 1];
      const WORD bitCount = Read<WORD>(group.data(), entry + 6);
      const DWORD bytes = Read<DWORD>(group.data(), entry + 8);
      const WORD id = Read<WORD>(group.data(), entry + 12);
      SCOPED_TRACE(testing::Message() << width << " px, " << bitCount << " bits");
      const std::vector<BYTE> image = ResourceBytes(program.module, MAKEINTRESOURCEW(id), RT_ICON);
      ASSERT_EQ(image.size(), bytes);
      EXPECT_EQ(width, height);
      EXPECT_EQ(Read<DWORD>(image.data(), 0), 40u);  // bitmap info header
      EXPECT_EQ(Read<LONG>(image.data(), 4), width);
      EXPECT_EQ(Read<LONG>(image.data(), 8), 2 * height);  // colour bits and mask
      EXPECT_EQ(Read<WORD>(image.data(), 14), bitCount);
      const std::size_t palette = bitCount == 8 ? 256 * 4 : 0;
      const std::size_t colourRow = ((width * bitCount / 8) + 3) & ~std::size_t{3};
      const std::size_t maskRow = ((width + 31) / 32) * 4;
      EXPECT_EQ(bytes, 40 + palette + (colourRow + maskRow) * height);
      seen.insert({width, bitCount});
    }
    EXPECT_EQ(seen,
              (std::set<std::pair<int, int>>{
                  {16, 8}, {16, 32}, {24, 8}, {24, 32}, {32, 8}, {32, 32}, {48, 8}, {48, 32}}));
  });
}

TEST_F(ResourcesTest, VersionBlockGivesVersion1001AndTheProgramsNames) {
  ForEachProgram([](const Program& program) {
    std::vector<BYTE> block = VersionBlock(program);
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), TEXT("\\"), reinterpret_cast<LPVOID*>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    const auto value = [&](LPCWSTR key) {
      LPWSTR text = nullptr;
      UINT units = 0;
      const Text path = Text(TEXT("\\StringFileInfo\\040904b0\\")) + key;
      if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<LPVOID*>(&text), &units)) {
        return Text(TEXT("(none)"));
      }
      return Text(text);
    };
    EXPECT_EQ(value(TEXT("ProductName")), TEXT("OrvantaUpdate"));
    EXPECT_EQ(value(TEXT("OriginalFilename")), TEXT("OrvantaUpdate.exe"));
    EXPECT_EQ(value(TEXT("FileVersion")), TEXT("1.0.0.1"));
    EXPECT_EQ(value(TEXT("ProductVersion")), TEXT("1.0.0.1"));
  });
}

TEST_F(ResourcesTest, HighResolutionAwareIsTheSixteenBitValueOne) {
  ForEachProgram([](const Program& program) {
    EXPECT_EQ(ResourceBytes(program.module, TEXT("HI_RES_AWARE"), TEXT("CEUX")),
              (std::vector<BYTE>{0x01, 0x00}));
    // Names and types compare without regard to case, as the platform's do.
    EXPECT_EQ(ResourceBytes(program.module, TEXT("hi_res_aware"), TEXT("ceux")).size(), 2u);
    EXPECT_EQ(FindResourceW(program.module, TEXT("OTHER"), TEXT("CEUX")), nullptr);
  });
}

#ifndef _WIN32
// Template 102 as the host's loader reads it; on Windows the platform's dialog manager reads it
// (windows_dialog_test.cc).
TEST(DialogTemplateTest, Template102HasTheLayoutStylesAndCreationOrder) {
  const std::optional<host::DialogTemplate> dialog = host::LoadDialogTemplate(102);
  ASSERT_TRUE(dialog.has_value());
  EXPECT_EQ(dialog->x, 0);
  EXPECT_EQ(dialog->y, 0);
  EXPECT_EQ(dialog->width, 156);
  EXPECT_EQ(dialog->height, 129);
  EXPECT_EQ(dialog->title, u"OrvantaUpdate");
  EXPECT_EQ(dialog->fontName, u"MS Sans Serif");
  EXPECT_EQ(dialog->pointSize, 8);
  EXPECT_EQ(dialog->style, WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT);
  EXPECT_EQ(dialog->exStyle, WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW);
  struct Expected {
    WORD id;
    std::u16string className;
    short x, y, width, height;
    DWORD style;
  };
  const Expected expected[] = {
      {1003, u"Static", 7, 7, 142, 27, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP},
      {1001, u"msctls_progress32", 7, 62, 142, 10, WS_CHILD | WS_VISIBLE | WS_BORDER},
      {1002, u"Static", 7, 46, 102, 11, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP},
  };
  ASSERT_EQ(dialog->items.size(), std::size(expected));
  for (std::size_t index = 0; index < std::size(expected); ++index) {
    const host::DialogItemTemplate& item = dialog->items[index];
    SCOPED_TRACE(item.id);
    EXPECT_EQ(item.id, expected[index].id);
    EXPECT_TRUE(host::SameClassName(item.className, expected[index].className)) << "class";
    EXPECT_EQ(item.text, u"");
    EXPECT_EQ(item.x, expected[index].x);
    EXPECT_EQ(item.y, expected[index].y);
    EXPECT_EQ(item.width, expected[index].width);
    EXPECT_EQ(item.height, expected[index].height);
    EXPECT_EQ(item.style, expected[index].style);
  }
  EXPECT_FALSE(host::LoadDialogTemplate(103).has_value());
}
#endif

}  // namespace
