// Keys on a PKCS#11 token: a SoftHSM2 token made by each test in its own directory.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>

#include "tests/tools/tool_runner.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace orvanta_test {
namespace {

using json = nlohmann::json;

constexpr char kUserPin[] = "tok-secret-4711";
constexpr char kSoPin[] = "so-secret-0815";

// What the token itself answers when asked for the private exponent of its private key
// `label`, with the key's CKA_SENSITIVE and CKA_EXTRACTABLE flags: a direct attempt to export
// it, past every library.
struct ExportAttempt {
  CK_RV result = CKR_GENERAL_ERROR;
  CK_BBOOL sensitive = CK_FALSE;
  CK_BBOOL extractable = CK_TRUE;
};

ExportAttempt TryToExport(const std::string& label) {
#if defined(__SANITIZE_ADDRESS__)
  // The token module keeps some of its allocations until the process ends.
  __lsan::ScopedDisabler moduleAllocations;
#endif
  ExportAttempt attempt;
  void* module = dlopen(SOFTHSM2_MODULE, RTLD_NOW);
  if (module == nullptr) return attempt;
  auto getFunctions = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  if (getFunctions == nullptr || getFunctions(&p11) != CKR_OK ||
      p11->C_Initialize(nullptr) != CKR_OK)
    return attempt;
  CK_SLOT_ID slots[16];
  CK_ULONG slotCount = 16;
  CK_SESSION_HANDLE session = 0;
  bool open = false;
  if (p11->C_GetSlotList(CK_TRUE, slots, &slotCount) == CKR_OK) {
    for (CK_ULONG i = 0; i < slotCount && !open; ++i) {
      CK_TOKEN_INFO info{};
      if (p11->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
          std::memcmp(info.label, "release ", 8) == 0)
        open =
            p11->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK;
    }
  }
  if (open) {
    std::string pin = kUserPin;
    p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
    CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
    std::string text = label;
    CK_ATTRIBUTE match[] = {{CKA_CLASS, &privateKey, sizeof privateKey},
                            {CKA_LABEL, text.data(), text.size()}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    p11->C_FindObjectsInit(session, match, 2);
    p11->C_FindObjects(session, &key, 1, &found);
    p11->C_FindObjectsFinal(session);
    if (found == 1) {
      CK_ATTRIBUTE flags[] = {{CKA_SENSITIVE, &attempt.sensitive, sizeof(CK_BBOOL)},
                              {CKA_EXTRACTABLE, &attempt.extractable, sizeof(CK_BBOOL)}};
      p11->C_GetAttributeValue(session, key, flags, 2);
      CK_BYTE exponent[512];
      CK_ATTRIBUTE value = {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent};
      attempt.result = p11->C_GetAttributeValue(session, key, &value, 1);
    }
    p11->C_CloseSession(session);
  }
  p11->C_Finalize(nullptr);
  dlclose(module);
  return attempt;
}

class Token : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    std::filesystem::create_directories(Path("tokens"));
    const std::string config = "directories.tokendir = " + Path("tokens").string() +
                               "\nobjectstore.backend = file\nlog.level = ERROR\n";
    WriteBytes(Path("softhsm2.conf"), std::vector<std::uint8_t>(config.begin(), config.end()));
    ASSERT_EQ(Shell("softhsm2-util --init-token --free --label release --so-pin " +
                    std::string(kSoPin) + " --pin " + kUserPin),
              0);
  }

  // A shell command with this test's token configuration; its exit status.
  int Shell(const std::string& command) {
    return std::system(("SOFTHSM2_CONF=" + ShellQuote(Path("softhsm2.conf").string()) + " " +
                        command + " >" + ShellQuote(Path("shell.log").string()) + " 2>&1")
                           .c_str());
  }

  // orvanta with the token's module; with the PIN in the environment unless `withPin` is false.
  ToolResult Tool(const std::vector<std::string>& arguments, bool withPin = true) {
    std::vector<std::pair<std::string, std::string>> environment = {
        {"SOFTHSM2_CONF", Path("softhsm2.conf").string()},
        {"ORVANTA_PKCS11_MODULE", SOFTHSM2_MODULE},
        // The token module keeps its own allocations until the process ends.
        {"ASAN_OPTIONS", "detect_leaks=0"}};
    if (withPin) environment.emplace_back("ORVANTA_PKCS11_PIN", kUserPin);
    return RunTool(arguments, environment);
  }
};

TEST_F(Token, KeysGeneratedOnTheTokenSignWhatTheDeviceVerifiesAndNeverLeaveIt) {
  ToolResult result = Tool({"keygen", Path("keys").string(), "--token", "pkcs11:token=release"});
  ASSERT_EQ(result.status, 0) << result.err;
  for (unsigned i = 0; i < 4; ++i) {
    EXPECT_EQ(ReadBytes(Path("keys") / ("key" + std::to_string(i) + ".der")).size(), 162u);
    EXPECT_FALSE(std::filesystem::exists(Path("keys") / ("key" + std::to_string(i) + ".pem")));
  }
  // A second keygen on the same token refuses to make another key0.
  result = Tool({"keygen", Path("again").string(), "--token", "pkcs11:token=release"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("never replaces"), std::string::npos) << result.err;

  WriteBytes(Path("payload"), std::vector<std::uint8_t>(5000, 0x3C));
  // Keys new to this build's key table are foreign to it.
  result = Tool({"sign", "--key", "pkcs11:token=release;object=key2", "--record-size", "2000",
                 "--foreign-key", Path("payload").string(), Path("signed").string()});
  ASSERT_EQ(result.status, 0) << result.err;
  result = Tool(
      {"verify", Path("signed").string(), "--public-key", (Path("keys") / "key2.der").string()});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("5000 payload bytes"), std::string::npos) << result.out;
  result = Tool(
      {"verify", Path("signed").string(), "--public-key", (Path("keys") / "key1.der").string()});
  EXPECT_EQ(result.status, 1);

  // The private key is sensitive and not extractable: the token refuses to hand it out.
  setenv("SOFTHSM2_CONF", Path("softhsm2.conf").c_str(), 1);
  const ExportAttempt attempt = TryToExport("key2");
  EXPECT_EQ(attempt.result, CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(attempt.sensitive, CK_TRUE);
  EXPECT_EQ(attempt.extractable, CK_FALSE);
}

TEST_F(Token, DevelopmentKeysOnATokenSignAPackageThatInstalls) {
  for (unsigned i = 0; i < 4; ++i)
    ASSERT_EQ(Shell("softhsm2-util --import " +
                    ShellQuote((KeyDirectory() / ("key" + std::to_string(i) + ".pem")).string()) +
                    " --token release --label key" + std::to_string(i) + " --id 0" +
                    std::to_string(i) + " --pin " + kUserPin),
              0);
  const auto device = MakeDevice("device");
  for (const char* name : {"boot", "sdisk", "ea1", "ea2", "eb"})
    WriteBytes(Path(name), std::vector<std::uint8_t>(name[0] == 'b' ? 70000 : 150000,
                                                     static_cast<std::uint8_t>(name[1])));
  // The PIN comes from the URI here, and is never shown.
  const std::string uri = std::string("pkcs11:token=release?pin-value=") + kUserPin;
  ToolResult result =
      Tool({"package", "--keys", uri, "--card", (device / "SD Card").string(), "--bootloader",
            Path("boot").string(), "--sdisk", Path("sdisk").string(), "--image-ea1",
            Path("ea1").string(), "--image-ea2", Path("ea2").string(), "--image-eb",
            Path("eb").string(), "--json"},
           false);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find(kUserPin), std::string::npos) << result.out;
  const json listing = json::parse(result.out, nullptr, false);
  ASSERT_TRUE(listing.is_object()) << result.out;
  EXPECT_EQ(listing["files"].size(), 5u);

  result = Tool({"run", device.string(), "--headless", "--answers", "ok", "--transcript",
                 Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(Show(device)["update_request"], 1);

  // A wrong PIN is refused in one line that does not repeat it.
  result = Tool({"sign", "--key", "pkcs11:token=release;object=key0?pin-value=wrong-secret-99",
                 Path("boot").string(), Path("signed").string()},
                false);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_EQ(result.err.find("wrong-secret-99"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace orvanta_test
