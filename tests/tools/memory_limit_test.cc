// The tool under a 32 MiB data limit: verify maps a larger image instead of loading it, and a
// command that does run out of memory ends with one line, not an abort.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/test_emulator.h"
#include "tests/tools/tool_runner.h"
#include "tools/signer/signer.h"

namespace orvanta_test {
namespace {

constexpr char kLimit[] = "prlimit --data=33554432 ";

using MemoryLimit = ToolTest;

TEST_F(MemoryLimit, VerifyMapsTheImageAndRunningOutOfMemoryIsOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own mappings do not fit a 32 MiB data limit";
#endif
  if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "no prlimit";
  // A data limit on qemu-user holds the emulator itself (its code buffer alone is larger than
  // 32 MiB), and the emulator does not pass the limit on to the program it runs.
  if (test_emulator::kEmulator[0] != '\0')
    GTEST_SKIP() << "a data limit cannot reach an emulated tool";
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
  auto run = [this](const std::string& arguments) {
    return std::system((kLimit + ShellQuote(ORVANTA_TOOL) + " " + arguments + " >" +
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
