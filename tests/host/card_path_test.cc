#include "host/core_library/card_path.h"

#include <gtest/gtest.h>

#include <string>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

using host::CardPath;

struct Refusal {
  const char* what;
  std::u16string path;
  DWORD error;
};

class CardPathTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDevice device_{host_test::SmallFlash()};

  std::optional<std::filesystem::path> Translate(std::u16string_view path, DWORD* error) {
    return CardPath(device_.Paths(), path, error);
  }
};

TEST_F(CardPathTest, CardFilesLandInTheCardFolder) {
  DWORD error = 0;
  EXPECT_EQ(Translate(u"\\SD Card\\EA1\\syaffs.bc", &error), device_.Card("EA1/syaffs.bc"));
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_EQ(Translate(u"\\SD Card", &error), device_.Paths().Card());
  EXPECT_EQ(Translate(u"\\SD Card\\", &error), device_.Paths().Card());
  // The device's file system ignores letter case, forward slashes, doubled separators and ".".
  EXPECT_EQ(Translate(u"\\sd card\\a.bin", &error), device_.Card("a.bin"));
  EXPECT_EQ(Translate(u"/SD Card/EB/./x", &error), device_.Card("EB/x"));
  EXPECT_EQ(Translate(u"\\SD Card\\\\EB\\x", &error), device_.Card("EB/x"));
  // Non-ASCII names are carried over as UTF-8, also outside the basic plane.
  EXPECT_EQ(Translate(u"\\SD Card\\caf\u00e9\\\U0001F600", &error),
            device_.Card("caf\xc3\xa9/\xf0\x9f\x98\x80"));
}

TEST_F(CardPathTest, RefusesEverythingOutsideTheCard) {
  const std::u16string withNul = std::u16string(u"\\SD Card\\a") + u'\0' + u"\\..\\..\\x";
  const Refusal refusals[] = {
      {"empty", u"", ERROR_PATH_NOT_FOUND},
      {"root only", u"\\", ERROR_PATH_NOT_FOUND},
      {"relative", u"SD Card\\a", ERROR_PATH_NOT_FOUND},
      {"other folder", u"\\Windows\\a", ERROR_PATH_NOT_FOUND},
      {"card prefix only", u"\\SD Cards\\a", ERROR_PATH_NOT_FOUND},
      {"parent at the top", u"\\SD Card\\..\\device.json", ERROR_PATH_NOT_FOUND},
      {"parent deeper", u"\\SD Card\\EA1\\..\\..\\nor.bin", ERROR_PATH_NOT_FOUND},
      {"parent through slashes", u"/SD Card/EA1/../../nor.bin", ERROR_PATH_NOT_FOUND},
      {"parent that stays inside", u"\\SD Card\\EA1\\..\\a", ERROR_PATH_NOT_FOUND},
      {"absolute host path", u"/etc/passwd", ERROR_PATH_NOT_FOUND},
      {"drive letter", u"C:\\SD Card\\a", ERROR_PATH_NOT_FOUND},
      {"network name", u"\\\\host\\SD Card\\a", ERROR_PATH_NOT_FOUND},
      {"embedded NUL", withNul, ERROR_PATH_NOT_FOUND},
      {"stream or drive colon", u"\\SD Card\\a:b", ERROR_INVALID_NAME},
      {"wildcard", u"\\SD Card\\*.bc", ERROR_INVALID_NAME},
      {"control character", u"\\SD Card\\a\nb", ERROR_INVALID_NAME},
      {"lone surrogate", u"\\SD Card\\a\xD800", ERROR_INVALID_NAME},
      {"too long", u"\\SD Card\\" + std::u16string(260, u'a'), ERROR_PATH_NOT_FOUND},
  };
  for (const Refusal& refusal : refusals) {
    DWORD error = 0;
    const auto path = Translate(refusal.path, &error);
    EXPECT_FALSE(path.has_value()) << refusal.what << ": " << path->string();
    EXPECT_EQ(error, refusal.error) << refusal.what;
  }
}

TEST_F(CardPathTest, HostPathsInsideTheCardAreFilesOnTheCard) {
  // "\SD Card\etc\passwd" is a card file, not the host's.
  DWORD error = 0;
  EXPECT_EQ(Translate(u"\\SD Card\\etc\\passwd", &error), device_.Card("etc/passwd"));
  EXPECT_EQ(Translate(u"\\SD Card\\/etc/passwd", &error), device_.Card("etc/passwd"));
}

TEST_F(CardPathTest, RefusedPathsReachNoFile) {
  // A create through a refused path writes nothing anywhere, the device directory included.
  for (LPCWSTR path : {u"\\SD Card\\..\\escaped", u"\\escaped", u"/tmp/escaped"}) {
    SetLastError(0);
    EXPECT_EQ(
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  }
  EXPECT_FALSE(std::filesystem::exists(device_.Paths().root / "escaped"));
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\..\\nor.bin", u"\\SD Card\\nor.bin", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(device_.Card("nor.bin")));
}

// Links on the host card would lead out of it; the device's card has none, so none is taken.
TEST_F(CardPathTest, LinksInsideTheCardAreNotFollowed) {
  const std::filesystem::path outside = device_.Paths().root / "outside";
  std::filesystem::create_directory(outside);
  host_test::WriteFile(outside / "secret", "host data");
  std::filesystem::create_directory_symlink(outside, device_.Card("EA1"));
  std::filesystem::create_symlink(outside / "secret", device_.Card("seboot.nb0"));
  DWORD error = 0;
  EXPECT_FALSE(Translate(u"\\SD Card\\EA1\\syaffs.bc", &error));
  EXPECT_EQ(error, DWORD{ERROR_ACCESS_DENIED});
  EXPECT_FALSE(Translate(u"\\SD Card\\seboot.nb0", &error));
  EXPECT_EQ(error, DWORD{ERROR_ACCESS_DENIED});
  // Neither reading, nor creating, nor copying goes through them.
  EXPECT_EQ(CreateFileW(u"\\SD Card\\seboot.nb0", GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(
      CreateFileW(u"\\SD Card\\EA1\\new", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
      INVALID_HANDLE_VALUE);
  device_.WriteCard("data", "card data");
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\data", u"\\SD Card\\EA1\\copy", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(host_test::ReadFile(outside / "secret"), "host data");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside),
                          std::filesystem::directory_iterator()),
            1);
}

// A card folder that is itself a link (to a mounted card, say) is used as it is.
TEST(CardPath, TheCardFolderMayBeALink) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  const std::filesystem::path card = device.Paths().Card();
  const std::filesystem::path elsewhere = device.Paths().root / "mounted card";
  std::filesystem::rename(card, elsewhere);
  std::filesystem::create_directory_symlink(elsewhere, card);
  DWORD error = 0;
  EXPECT_EQ(CardPath(device.Paths(), u"\\SD Card\\x.bin", &error), card / "x.bin");
  EXPECT_EQ(error, DWORD{ERROR_SUCCESS});
}

TEST(Utf8FromUtf16, RefusesLoneSurrogates) {
  EXPECT_EQ(host::Utf8FromUtf16(u"a\xDC00"), std::nullopt);
  EXPECT_EQ(host::Utf8FromUtf16(std::u16string(1, u'\xD83D')), std::nullopt);
  EXPECT_EQ(host::Utf8FromUtf16(u"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
}

}  // namespace
