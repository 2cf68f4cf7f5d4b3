// The updater's resources as the program registers them, and the counter text formatting.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "app/resource_ids.h"
#include "app/resources.h"
#include "app/update_dialog.h"

namespace {

std::u16string String(UINT id) {
  WCHAR buffer[512];
  const int length = LoadStringW(AppInstance(), id, buffer, static_cast<int>(std::size(buffer)));
  return std::u16string(buffer, length);
}

template <typename T>
T Read(const BYTE* data, std::size_t offset) {
  T value;
  std::memcpy(&value, data + offset, sizeof value);
  return value;
}

}  // namespace

TEST(StringTableTest, HoldsTheSevenTextsVerbatim) {
  EXPECT_EQ(String(129), u"The Orvanta must be connected to external power.");
  EXPECT_EQ(String(130), u"Failed to complete upgrade.");
  EXPECT_EQ(String(131), u"Operation %d of %d:");
  EXPECT_EQ(String(132),
            u"Performing this upgrade will delete all programs and data on this device. Please "
            u"make sure that all data is backed up before proceeding. Continue?");
  EXPECT_EQ(String(133),
            u"There is not enough free space available on the SD Card to complete the operation.");
  EXPECT_EQ(String(134), u"There are missing or corrupt installation files.");
  EXPECT_EQ(String(135), u"Do not turn off the Orvanta or remove external power!");
}

TEST(StringTableTest, LoadStringTruncatesToTheBufferAndReportsMissingIds) {
  WCHAR buffer[8];
  EXPECT_EQ(LoadStringW(AppInstance(), 130, buffer, 8), 7);
  EXPECT_EQ(std::u16string(buffer), u"Failed ");
  EXPECT_EQ(LoadStringW(AppInstance(), 128, buffer, 8), 0);
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(LoadStringW(AppInstance(), 130, buffer, 0), 0);
}

TEST(DialogTemplateTest, Template102HasTheLayoutStylesAndCreationOrder) {
  const DialogTemplate* dialog = FindDialogTemplate(kUpdateDialogTemplateId);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->x, 0);
  EXPECT_EQ(dialog->y, 0);
  EXPECT_EQ(dialog->width, 156);
  EXPECT_EQ(dialog->height, 129);
  EXPECT_EQ(std::u16string(dialog->title), u"OrvantaUpdate");
  EXPECT_EQ(std::u16string(dialog->fontName), u"MS Sans Serif");
  EXPECT_EQ(dialog->pointSize, 8);
  EXPECT_EQ(dialog->style, WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT);
  EXPECT_EQ(dialog->exStyle, WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW);
  ASSERT_EQ(dialog->itemCount, 3u);
  struct Expected {
    WORD id;
    std::u16string className;
    short x, y, width, height;
    DWORD style;
  };
  const Expected expected[] = {
      {1003, u"static", 7, 7, 142, 27, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP},
      {1001, u"msctls_progress32", 7, 62, 142, 10, WS_CHILD | WS_VISIBLE | WS_BORDER},
      {1002, u"static", 7, 46, 102, 11, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP},
  };
  for (UINT index = 0; index < 3; ++index) {
    const DialogItemTemplate& item = dialog->items[index];
    SCOPED_TRACE(item.id);
    EXPECT_EQ(item.id, expected[index].id);
    EXPECT_EQ(std::u16string(item.className), expected[index].className);
    EXPECT_EQ(std::u16string(item.text), u"");
    EXPECT_EQ(item.x, expected[index].x);
    EXPECT_EQ(item.y, expected[index].y);
    EXPECT_EQ(item.width, expected[index].width);
    EXPECT_EQ(item.height, expected[index].height);
    EXPECT_EQ(item.style, expected[index].style);
  }
  EXPECT_EQ(FindDialogTemplate(103), nullptr);
}

// Icon 128 is a well-formed icon file: eight images, 16, 24, 32 and 48 pixels square, each in
// 256 colours and in 32-bit colour, every image's bitmap header agreeing with its entry and
// its size covering header, palette, colour bits and mask.
TEST(IconTest, Icon128HoldsEightWellFormedImages) {
  const IconGroup* icon = FindIconGroup(kApplicationIconId);
  ASSERT_NE(icon, nullptr);
  const BYTE* data = icon->data;
  ASSERT_GE(icon->size, 6u);
  EXPECT_EQ(Read<WORD>(data, 0), 0);
  EXPECT_EQ(Read<WORD>(data, 2), 1);
  ASSERT_EQ(Read<WORD>(data, 4), 8);
  std::set<std::pair<int, int>> seen;
  for (int index = 0; index < 8; ++index) {
    const std::size_t entry = 6 + 16 * index;
    const int width = data[entry] == 0 ? 256 : data[entry];
    const int height = data[entry + 1] == 0 ? 256 : data[entry + 1];
    const WORD bitCount = Read<WORD>(data, entry + 6);
    const DWORD bytes = Read<DWORD>(data, entry + 8);
    const DWORD offset = Read<DWORD>(data, entry + 12);
    SCOPED_TRACE(testing::Message() << width << " px, " << bitCount << " bits");
    EXPECT_EQ(width, height);
    ASSERT_LE(static_cast<std::uint64_t>(offset) + bytes, icon->size);
    EXPECT_EQ(Read<DWORD>(data, offset), 40u);  // bitmap info header
    EXPECT_EQ(Read<LONG>(data, offset + 4), width);
    EXPECT_EQ(Read<LONG>(data, offset + 8), 2 * height);  // colour bits and mask
    EXPECT_EQ(Read<WORD>(data, offset + 14), bitCount);
    const std::size_t palette = bitCount == 8 ? 256 * 4 : 0;
    const std::size_t colourRow = ((width * bitCount / 8) + 3) & ~std::size_t{3};
    const std::size_t maskRow = ((width + 31) / 32) * 4;
    EXPECT_EQ(bytes, 40 + palette + (colourRow + maskRow) * height);
    seen.insert({width, bitCount});
  }
  EXPECT_EQ(seen, (std::set<std::pair<int, int>>{
                      {16, 8}, {16, 32}, {24, 8}, {24, 32}, {32, 8}, {32, 32}, {48, 8}, {48, 32}}));
}

TEST(VersionTest, VersionBlockAndHighResolutionValue) {
  const ResourceTable* table = RegisteredResources();
  ASSERT_NE(table, nullptr);
  ASSERT_NE(table->version, nullptr);
  const VersionInfo& version = *table->version;
  EXPECT_EQ(std::vector<WORD>(version.fileVersion, version.fileVersion + 4),
            (std::vector<WORD>{1, 0, 0, 1}));
  EXPECT_EQ(std::vector<WORD>(version.productVersion, version.productVersion + 4),
            (std::vector<WORD>{1, 0, 0, 1}));
  EXPECT_EQ(std::u16string(version.productName), u"OrvantaUpdate");
  EXPECT_EQ(std::u16string(version.originalFileName), u"OrvantaUpdate.exe");

  const CustomResource* aware = FindCustomResource(u"CEUX", u"HI_RES_AWARE");
  ASSERT_NE(aware, nullptr);
  ASSERT_EQ(aware->size, 2u);
  EXPECT_EQ(Read<WORD>(aware->data, 0), 1);
  EXPECT_EQ(FindCustomResource(u"CEUX", u"OTHER"), nullptr);
}

TEST(FormatCounterTextTest, ReplacesTheTwoConversionsInOrder) {
  WCHAR buffer[64];
  EXPECT_EQ(FormatCounterText(u"Operation %d of %d:", 1, 6, buffer, 64), 17);
  EXPECT_EQ(std::u16string(buffer), u"Operation 1 of 6:");
  FormatCounterText(u"%d/%d", 2147483647, -2147483647 - 1, buffer, 64);
  EXPECT_EQ(std::u16string(buffer), u"2147483647/-2147483648");
  FormatCounterText(u"100%% %d %d %d", 7, 8, buffer, 64);
  EXPECT_EQ(std::u16string(buffer), u"100% 7 8 %d");
}

TEST(FormatCounterTextTest, TruncatesToTheBufferAndAlwaysTerminates) {
  WCHAR buffer[6];
  EXPECT_EQ(FormatCounterText(u"Operation %d of %d:", 12, 6, buffer, 6), 5);
  EXPECT_EQ(std::u16string(buffer), u"Opera");
  EXPECT_EQ(FormatCounterText(u"ab %d", 12345, 6, buffer, 6), 5);
  EXPECT_EQ(std::u16string(buffer), u"ab 12");
  EXPECT_EQ(FormatCounterText(u"x", 1, 2, buffer, 0), 0);
  EXPECT_EQ(FormatCounterText(nullptr, 1, 2, buffer, 6), 0);
  EXPECT_EQ(buffer[0], u'\0');
}
