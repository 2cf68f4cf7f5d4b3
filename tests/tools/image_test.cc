// keygen, sign, verify, digest, check-signature and package.
#include <cstdlib>

#include "tests/tools/tool_runner.h"
#include "tools/signer/signer.h"

namespace orvanta_test {
namespace {

using json = nlohmann::json;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

std::filesystem::path DevKey(unsigned index, const char* extension) {
  return KeyDirectory() / ("key" + std::to_string(index) + extension);
}

using Keygen = ToolTest;

TEST_F(Keygen, FourPairsWhoseDerKeysHave162Bytes) {
  const auto keys = Path("keys");
  const ToolResult result = RunTool({"keygen", keys.string()});
  ASSERT_EQ(result.status, 0) << result.err;
  for (unsigned i = 0; i < 4; ++i) {
    const auto pem = keys / ("key" + std::to_string(i) + ".pem");
    const auto der = keys / ("key" + std::to_string(i) + ".der");
    EXPECT_EQ(ReadBytes(der).size(), 162u);
    std::string error;
    const signer::PrivateKey key = signer::LoadPrivateKey(pem, &error);
    ASSERT_TRUE(key) << error;
    signer::Bytes publicDer;
    ASSERT_TRUE(signer::PublicKeyDer(key, &publicDer, &error));
    EXPECT_EQ(publicDer, ReadBytes(der));  // the pair belongs together
    EXPECT_EQ(signer::SignatureSize(key), 128u);
  }
  EXPECT_NE(ReadBytes(keys / "key0.der"), ReadBytes(keys / "key1.der"));
}

TEST_F(Keygen, NeverReplacesAKey) {
  const auto keys = Path("keys");
  ASSERT_EQ(RunTool({"keygen", keys.string()}).status, 0);
  const auto before = ReadBytes(keys / "key2.pem");
  const ToolResult result = RunTool({"keygen", keys.string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1);
  EXPECT_NE(result.err.find("key0.pem"), std::string::npos) << result.err;
  EXPECT_EQ(ReadBytes(keys / "key2.pem"), before);
}

using SignAndVerify = ToolTest;

TEST_F(SignAndVerify, SignsTheSameBytesAsTheSigner) {
  // 1000 bytes in records of 100 (an exact multiple) and of 300 (a short last record).
  const auto payload = Pattern(1000, 3);
  WriteBytes(Path("payload"), payload);
  std::string error;
  const signer::PrivateKey key = signer::LoadPrivateKey(DevKey(1, ".pem"), &error);
  ASSERT_TRUE(key) << error;
  signer::ImageHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0xA0 + i);
  for (const std::size_t recordSize : {std::size_t{100}, std::size_t{300}}) {
    const ToolResult result =
        RunTool({"sign", "--key", DevKey(1, ".pem").string(), "--header",
                 "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf", "--record-size", std::to_string(recordSize),
                 "--force", Path("payload").string(), Path("signed").string()});
    ASSERT_EQ(result.status, 0) << result.err;
    signer::Bytes expected;
    ASSERT_TRUE(signer::SignImage(payload, key, header, recordSize, &expected, &error)) << error;
    EXPECT_EQ(ReadBytes(Path("signed")), expected) << recordSize;
  }
}

TEST_F(SignAndVerify, VerifiesWithTheRightBuiltInKeyOnly) {
  WriteBytes(Path("payload"), Pattern(200000, 9));
  ASSERT_EQ(RunTool({"sign", "--key", DevKey(2, ".pem").string(), Path("payload").string(),
                     Path("image.bc").string()})
                .status,
            0);
  ToolResult result = RunTool({"verify", Path("image.bc").string(), "--key-index", "2"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, Path("image.bc").string() +
                            ": verified with built-in key 2: 5 records, 200000 payload bytes\n");
  result = RunTool({"verify", Path("image.bc").string(), "--key-index", "1", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(json::parse(result.out)["result"], -1);
  EXPECT_EQ(json::parse(result.out)["valid"], false);
  // An index the device has no key for is a wrong argument, not a verdict.
  result = RunTool({"verify", Path("image.bc").string(), "--key-index", "4"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
}

TEST_F(SignAndVerify, KeyOfAnotherSlotOrShapeIsRefusedUnlessForeignOnPurpose) {
  WriteBytes(Path("payload"), Pattern(1000, 4));
  // The output's name tells the slot: seboot.nb0 needs key 0.
  ToolResult result = RunTool({"sign", "--key", DevKey(1, ".pem").string(),
                               Path("payload").string(), Path("seboot.nb0").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("needs built-in key 0"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(Path("seboot.nb0")));
  // --slot names it for any output name.
  result = RunTool({"sign", "--key", DevKey(0, ".pem").string(), "--slot", "ea2",
                    Path("payload").string(), Path("image.bc").string()});
  EXPECT_EQ(result.status, 2);
  // A key of another size never verifies on the device.
  std::string error;
  const signer::PrivateKey big = signer::GenerateRsaKey(2048, &error);
  std::string pem;
  ASSERT_TRUE(signer::WritePrivateKeyPem(big, &pem, &error)) << error;
  WriteBytes(Path("big.pem"), std::vector<std::uint8_t>(pem.begin(), pem.end()));
  result = RunTool({"sign", "--key", Path("big.pem").string(), Path("payload").string(),
                    Path("big.bc").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("2048-bit"), std::string::npos) << result.err;
  result = RunTool({"sign", "--key", Path("big.pem").string(), "--foreign-key",
                    Path("payload").string(), Path("big.bc").string()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("a foreign key"), std::string::npos) << result.out;
}

TEST_F(SignAndVerify, InputIsNeverOverwrittenAndAnOutputOnlyWithForce) {
  const auto payload = Pattern(1000, 5);
  WriteBytes(Path("boot.bin"), payload);
  const std::string key = DevKey(0, ".pem").string();
  ToolResult result = RunTool(
      {"sign", "--key", key, "--force", Path("boot.bin").string(), Path("boot.bin").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(ReadBytes(Path("boot.bin")), payload);
  std::filesystem::create_symlink(Path("boot.bin"), Path("link.bin"));
  EXPECT_EQ(RunTool({"sign", "--key", key, "--force", Path("boot.bin").string(),
                     Path("link.bin").string()})
                .status,
            2);
  EXPECT_EQ(ReadBytes(Path("boot.bin")), payload);
  WriteBytes(Path("old.bc"), {'o', 'l', 'd'});
  result = RunTool({"sign", "--key", key, Path("boot.bin").string(), Path("old.bc").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(ReadBytes(Path("old.bc")), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  ASSERT_EQ(
      RunTool({"sign", "--key", key, "--force", Path("boot.bin").string(), Path("old.bc").string()})
          .status,
      0);
  // verify --compact keeps an existing file too, and checks before it says anything.
  result = RunTool({"verify", Path("old.bc").string(), "--key-index", "0", "--compact",
                    Path("boot.bin").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ReadBytes(Path("boot.bin")), payload);
  // Nothing but the files asked for: no temporary file is left beside them.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root_)) ++files;
  EXPECT_EQ(files, 3);
}

TEST_F(SignAndVerify, EncryptedKeyIsUnlockedByPassinWithoutATerminal) {
  WriteBytes(Path("payload"), Pattern(100, 6));
  // The development key 0, encrypted with the passphrase "secret".
  ASSERT_EQ(
      std::system(("openssl pkey -in " + ShellQuote(DevKey(0, ".pem").string()) +
                   " -aes256 -passout pass:secret -out " + ShellQuote(Path("locked.pem").string()))
                      .c_str()),
      0);
  const std::string locked = Path("locked.pem").string();
  ToolResult result =
      RunTool({"sign", "--key", locked, Path("payload").string(), Path("a.bc").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("--passin"), std::string::npos) << result.err;
  result = RunTool({"sign", "--key", locked, "--passin", "pass:wrong", Path("payload").string(),
                    Path("a.bc").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("passphrase does not unlock"), std::string::npos) << result.err;
  result = RunTool({"sign", "--key", locked, "--passin", "env:ORVANTA_TEST_PASS",
                    Path("payload").string(), Path("a.bc").string()},
                   {{"ORVANTA_TEST_PASS", "secret"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(RunTool({"verify", Path("a.bc").string(), "--key-index", "0"}).status, 0);
}

TEST_F(SignAndVerify, TamperedFileFails) {
  WriteBytes(Path("payload"), Pattern(5000, 1));
  ASSERT_EQ(RunTool({"sign", "--key", DevKey(0, ".pem").string(), Path("payload").string(),
                     Path("image.bc").string()})
                .status,
            0);
  auto image = ReadBytes(Path("image.bc"));
  image[23 + 9 + 100] ^= 0x01;  // one payload bit of the first record
  WriteBytes(Path("image.bc"), image);
  const ToolResult result =
      RunTool({"verify", Path("image.bc").string(), "--key-index", "0", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(json::parse(result.out)["result"], -1);
}

TEST_F(SignAndVerify, ResultZeroIsNotSuccess) {
  // No magic: 0. An empty payload gives a valid image without data records: 0 as well.
  WriteBytes(Path("junk"), Pattern(400, 0));
  ToolResult result = RunTool({"verify", Path("junk").string(), "--key-index", "0", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(json::parse(result.out)["result"], 0);
  WriteBytes(Path("empty"), {});
  ASSERT_EQ(RunTool({"sign", "--key", DevKey(0, ".pem").string(), Path("empty").string(),
                     Path("empty.bc").string()})
                .status,
            0);
  result = RunTool({"verify", Path("empty.bc").string(), "--key-index", "0", "--json"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(json::parse(result.out)["result"], 0);
}

TEST_F(SignAndVerify, GivenPublicKeyTakesTheBuiltInKeysPlace) {
  ASSERT_EQ(RunTool({"keygen", Path("keys").string()}).status, 0);
  WriteBytes(Path("payload"), Pattern(70000, 5));
  ASSERT_EQ(RunTool({"sign", "--key", (Path("keys") / "key3.pem").string(), "--foreign-key",
                     Path("payload").string(), Path("image.bc").string()})
                .status,
            0);
  // Not signed with any built-in key.
  for (const char* index : {"0", "1", "2", "3"})
    EXPECT_EQ(RunTool({"verify", Path("image.bc").string(), "--key-index", index}).status, 1);
  ToolResult result =
      RunTool({"verify", Path("image.bc").string(), "--public-key",
               (Path("keys") / "key3.der").string(), "--compact", Path("compact").string()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("70000 payload bytes"), std::string::npos) << result.out;
  EXPECT_EQ(ReadBytes(Path("compact")), ReadBytes(Path("payload")));
  result = RunTool(
      {"verify", Path("image.bc").string(), "--public-key", (Path("keys") / "key2.der").string()});
  EXPECT_EQ(result.status, 1);
}

TEST_F(SignAndVerify, FailedVerificationWritesNoCompactImage) {
  WriteBytes(Path("junk"), Pattern(400, 0));
  EXPECT_EQ(RunTool({"verify", Path("junk").string(), "--key-index", "0", "--compact",
                     Path("compact").string()})
                .status,
            1);
  EXPECT_FALSE(std::filesystem::exists(Path("compact")));
}

TEST_F(SignAndVerify, BadArguments) {
  WriteBytes(Path("payload"), Pattern(10, 0));
  const std::string key = DevKey(0, ".pem").string();
  const std::string in = Path("payload").string();
  const std::string out = Path("out").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"sign", "--key", key, "--header", "00", in, out}, "--header"},
      {{"sign", "--key", key, "--header", std::string(32, 'g'), in, out}, "--header"},
      {{"sign", "--key", key, "--record-size", "0", in, out}, "--record-size"},
      {{"sign", "--key", key, "--record-size", "lots", in, out}, "--record-size"},
      {{"sign", "--key", Path("nokey.pem").string(), in, out}, "nokey.pem"},
      {{"sign", "--key", root_.string(), in, out}, "is a directory"},
      {{"sign", "--key", key, "--passin", "typed:secret", in, out}, "--passin"},
      {{"sign", "--key", key, Path("nothing").string(), out}, "nothing"},
      {{"verify", in}, "--key-index"},
      {{"verify", in, "--key-index", "0", "--public-key", key}, "--public-key"},
      {{"verify", Path("nothing").string(), "--key-index", "0"}, "nothing"},
      {{"verify", in, "--public-key", Path("nothing.der").string()}, "nothing.der"},
      {{"verify", in, "--public-key", key}, "DER form"},
  };
  for (const auto& [arguments, named] : cases) {
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.status, 2) << named;
    EXPECT_EQ(LineCount(result.err), 1) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
}

using Digest = ToolTest;

TEST_F(Digest, KnownAnswers) {
  WriteBytes(Path("abc"), {'a', 'b', 'c'});
  WriteBytes(Path("empty"), {});
  ToolResult result = RunTool({"digest", "--alg", "sha1", Path("abc").string()});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "a9993e364706816aba3e25717850c26c9cd0d89d\n");
  result = RunTool({"digest", "--alg", "md5", Path("abc").string()});
  EXPECT_EQ(result.out, "900150983cd24fb0d6963f7d28e17f72\n");
  result = RunTool({"digest", "--alg", "md5", Path("empty").string(), "--json"});
  EXPECT_EQ(json::parse(result.out)["digest"], "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(Digest, LargeFileInPiecesMatchesOpenSsl) {
  // Longer than the 1 MiB pieces the tool feeds, and not a multiple of 64.
  WriteBytes(Path("big"), Pattern(3 * 1024 * 1024 + 17, 4));
  const ToolResult ours = RunTool({"digest", "--alg", "sha1", Path("big").string()});
  ASSERT_EQ(ours.status, 0);
  const std::string command =
      "openssl dgst -sha1 -r '" + Path("big").string() + "' > '" + Path("reference").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto reference = ReadBytes(Path("reference"));
  EXPECT_EQ(ours.out.substr(0, 40), std::string(reference.begin(), reference.begin() + 40));
}

TEST_F(Digest, BadAlgorithmIsNamed) {
  WriteBytes(Path("abc"), {'a'});
  const ToolResult result = RunTool({"digest", "--alg", "sha256", Path("abc").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1);
  EXPECT_NE(result.err.find("--alg"), std::string::npos) << result.err;
}

using CheckSignature = ToolTest;

TEST_F(CheckSignature, GoodBadAndWrongKey) {
  WriteBytes(Path("message"), Pattern(1000, 2));
  for (const char* algorithm : {"sha1", "md5"}) {
    const std::string sign = std::string("openssl dgst -") + algorithm + " -sign '" +
                             DevKey(0, ".pem").string() + "' -out '" + Path("sig").string() +
                             "' '" + Path("message").string() + "'";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    ToolResult result =
        RunTool({"check-signature", "--public-key", DevKey(0, ".der").string(), "--alg", algorithm,
                 "--signature", Path("sig").string(), Path("message").string()});
    EXPECT_EQ(result.status, 0) << algorithm;
    EXPECT_EQ(result.out, "0x00000000 (the signature verifies)\n");
    result = RunTool({"check-signature", "--public-key", DevKey(1, ".der").string(), "--alg",
                      algorithm, "--signature", Path("sig").string(), Path("message").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "0x80090006 NTE_BAD_SIGNATURE\n");
  }
  // A key that is not DER.
  const ToolResult result =
      RunTool({"check-signature", "--public-key", Path("message").string(), "--alg", "sha1",
               "--signature", Path("sig").string(), Path("message").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "0x80090015 NTE_BAD_PUBLIC_KEY\n");
}

TEST_F(CheckSignature, BadArguments) {
  WriteBytes(Path("message"), {'m'});
  ToolResult result = RunTool({"check-signature", "--public-key", DevKey(0, ".der").string(),
                               "--alg", "sha1", Path("message").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--signature"), std::string::npos) << result.err;
  result = RunTool({"check-signature", "--public-key", DevKey(0, ".der").string(), "--alg", "sha1",
                    "--signature", Path("missing.sig").string(), Path("message").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("missing.sig"), std::string::npos) << result.err;
}

using Package = ToolTest;

TEST_F(Package, SignsEachFileWithItsKey) {
  const std::vector<std::pair<std::string, std::size_t>> inputs = {
      {"boot", 70000}, {"sdisk", 150000}, {"ea1", 1000}, {"ea2", 2000}, {"eb", 3000}};
  for (std::size_t i = 0; i < inputs.size(); ++i)
    WriteBytes(Path(inputs[i].first), Pattern(inputs[i].second, static_cast<std::uint8_t>(i)));
  const auto card = Path("card");
  const ToolResult result =
      RunTool({"package", "--keys", KeyDirectory().string(), "--card", card.string(),
               "--bootloader", Path("boot").string(), "--sdisk", Path("sdisk").string(),
               "--image-ea1", Path("ea1").string(), "--image-ea2", Path("ea2").string(),
               "--image-eb", Path("eb").string(), "--record-size", "32K"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<std::tuple<std::string, std::string, std::size_t>> outputs = {
      {"seboot.nb0", "0", 70000},
      {"sdisk.bc", "0", 150000},
      {"EA1/syaffs.bc", "1", 1000},
      {"EA2/syaffs.bc", "2", 2000},
      {"EB/syaffs.bc", "3", 3000}};
  for (const auto& [file, key, size] : outputs) {
    const ToolResult verified =
        RunTool({"verify", (card / file).string(), "--key-index", key, "--json"});
    EXPECT_EQ(verified.status, 0) << file;
    EXPECT_EQ(json::parse(verified.out)["payload_bytes"], size) << file;
  }
  EXPECT_EQ(RunTool({"inspect", card.string()}).status, 0);  // each file with its slot's key
  // 70000 bytes in records of 32768: three data records and the final one.
  EXPECT_EQ(ReadBytes(card / "seboot.nb0").size(), 23u + 70000 + 4 * (9 + 128));
}

// The arguments of a package of five small files onto `card`, keys from `keys`.
std::vector<std::string> PackageArguments(const std::filesystem::path& card,
                                          const std::filesystem::path& keys,
                                          const std::filesystem::path& input) {
  return {"package",      "--keys",       keys.string(),  "--card",       card.string(),
          "--bootloader", input.string(), "--sdisk",      input.string(), "--image-ea1",
          input.string(), "--image-ea2",  input.string(), "--image-eb",   input.string()};
}

TEST_F(Package, ForeignKeysAreRefusedUnlessSaidOnPurpose) {
  ASSERT_EQ(RunTool({"keygen", Path("keys").string()}).status, 0);
  WriteBytes(Path("file"), Pattern(100, 1));
  std::vector<std::string> arguments = PackageArguments(Path("card"), Path("keys"), Path("file"));
  ToolResult result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--foreign-key"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(Path("card") / "sdisk.bc"));  // nothing written
  arguments.push_back("--foreign-key");
  result = RunTool(arguments);
  EXPECT_EQ(result.status, 0) << result.err;
  // The device verifies its own keys only: the card is refused slot by slot.
  EXPECT_EQ(RunTool({"inspect", Path("card").string()}).status, 1);
}

TEST_F(Package, ExistingCardFilesAreKeptWithoutForceAndInputsNeverOverwritten) {
  WriteBytes(Path("file"), Pattern(100, 1));
  std::vector<std::string> arguments = PackageArguments(Path("card"), KeyDirectory(), Path("file"));
  ASSERT_EQ(RunTool(arguments).status, 0);
  const auto before = ReadBytes(Path("card") / "sdisk.bc");
  WriteBytes(Path("file"), Pattern(200, 2));
  ToolResult result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--force"), std::string::npos) << result.err;
  EXPECT_EQ(ReadBytes(Path("card") / "sdisk.bc"), before);
  arguments.push_back("--force");
  EXPECT_EQ(RunTool(arguments).status, 0);
  EXPECT_NE(ReadBytes(Path("card") / "sdisk.bc"), before);
  // A card file given as an input is never replaced, --force or not.
  const auto sdisk = ReadBytes(Path("card") / "sdisk.bc");
  arguments[6] = (Path("card") / "sdisk.bc").string();  // --bootloader
  result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("is also an input"), std::string::npos) << result.err;
  EXPECT_EQ(ReadBytes(Path("card") / "sdisk.bc"), sdisk);
}

TEST_F(Package, BadArguments) {
  WriteBytes(Path("file"), {'x'});
  const std::string file = Path("file").string();
  std::vector<std::string> arguments = {"package",
                                        "--keys",
                                        KeyDirectory().string(),
                                        "--card",
                                        Path("card").string(),
                                        "--bootloader",
                                        file,
                                        "--sdisk",
                                        file,
                                        "--image-ea1",
                                        file,
                                        "--image-ea2",
                                        file};
  ToolResult result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--image-eb"), std::string::npos) << result.err;
  arguments.insert(arguments.end(), {"--image-eb", Path("absent").string()});
  result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("absent"), std::string::npos) << result.err;
  arguments.back() = file;
  arguments[2] = Path("nokeys").string();
  result = RunTool(arguments);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("key0.pem"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(Path("card")));
}

}  // namespace
}  // namespace orvanta_test
