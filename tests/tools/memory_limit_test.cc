// The tool with 32 MiB of data for itself: verify maps a larger image instead of loading it, and a
// command that does run out of memory ends with one line, not an abort.
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "tests/test_emulator.h"
#include "tests/tools/tool_runner.h"
#include "tools/signer/signer.h"

namespace orvanta_test {
namespace {

constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::uint64_t kToolData = 32 * kMiB;

// The start of a shell command that runs the tool under a data limit of `limit` bytes.
//
// A native tool is limited directly. qemu-user ignores the limits its program sets and obeys only
// the one on itself, which its translation buffer, its stacks and its heap share with the
// program's memory. Its heap is therefore reserved up front (malloc tunables for the emulator,
// unset for the tool): otherwise, once the tool has used the rest, it is the emulator's
// allocation that fails, and the emulator hangs in its abort instead of ending. The timeout
// turns such a hang into a failed check.
std::string LimitedTool(std::uint64_t limit) {
  const std::string prlimit = "prlimit --data=" + std::to_string(limit) + " ";
  if (test_emulator::kEmulator[0] == '\0') return prlimit + ShellQuote(ORVANTA_TOOL);
  return "GLIBC_TUNABLES=glibc.malloc.top_pad=16777216:glibc.malloc.trim_threshold=4294967295:"
         "glibc.malloc.mmap_max=0 timeout -s KILL 300 " +
         prlimit + ShellQuote(test_emulator::kEmulator) + " -U GLIBC_TUNABLES " +
         ShellQuote(ORVANTA_TOOL);
}

// The data limit that leaves the tool kToolData for itself: behind an emulator, the emulator's
// own share is the smallest limit under which the tool starts at all (a start that does not fit
// fails at once, in the emulator's loader).
std::optional<std::uint64_t> ToolDataLimit() {
  if (test_emulator::kEmulator[0] == '\0') return kToolData;
  for (std::uint64_t limit = 64 * kMiB; limit <= 1024 * kMiB; limit += 4 * kMiB) {
    if (std::system((LimitedTool(limit) + " --version >/dev/null 2>&1").c_str()) == 0)
      return limit + kToolData;
  }
  return std::nullopt;
}

using MemoryLimit = ToolTest;

TEST_F(MemoryLimit, VerifyMapsTheImageAndRunningOutOfMemoryIsOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own mappings do not fit a 32 MiB data limit";
#endif
  if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "no prlimit";
  const std::optional<std::uint64_t> limit = ToolDataLimit();
  ASSERT_TRUE(limit) << "the emulated tool does not start under any data limit up to 1 GiB";
  // 48 MiB of payload in records of 1 MiB, signed with development key 3.
  std::vector<std::uint8_t> payload(48u << 20);
  for (std::size_t i = 0; i < payload.size(); i += 4096)
    payload[i] = static_cast<std::uint8_t>(i >> 12);
  std::string error;
  const signer::PrivateKey key = signer::LoadPrivateKey(KeyDirectory() / "key3.pem", &error);
  ASSERT_TRUE(key) << error;
  {
    signer::Bytes image;
    ASSERT_TRUE(signer::SignImage(payload, key, {}, 1u << 20, &image, &error)) << error;
    WriteBytes(Path("image"), image);
  }
  auto run = [&](const std::string& arguments) {
    return std::system((LimitedTool(*limit) + " " + arguments + " >" +
                        ShellQuote(Path("out").string()) + " 2>" + ShellQuote(Path("err").string()))
                           .c_str());
  };
  const int verified = run("verify " + ShellQuote(Path("image").string()) +
                           " --key-index 3 --compact " + ShellQuote(Path("raw").string()));
  EXPECT_TRUE(WIFEXITED(verified) && WEXITSTATUS(verified) == 0) << verified;
  EXPECT_TRUE(ReadBytes(Path("raw")) == payload);

  // sign reads its input whole: 48 MiB do not fit.
  const int signedStatus =
      run("sign --key " + ShellQuote((KeyDirectory() / "key3.pem").string()) + " " +
          ShellQuote(Path("image").string()) + " " + ShellQuote(Path("signed").string()));
  EXPECT_TRUE(WIFEXITED(signedStatus) && WEXITSTATUS(signedStatus) == 2) << signedStatus;
  const auto err = ReadBytes(Path("err"));
  EXPECT_EQ(std::string(err.begin(), err.end()), "orvanta: out of memory\n");
}

}  // namespace
}  // namespace orvanta_test
