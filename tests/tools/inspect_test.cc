// inspect: the records of a signed image, the key that verifies it, and why a damaged one fails.
#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

using json = nlohmann::json;

constexpr std::size_t kRecordSize = 1000;
constexpr std::size_t kPayloadSize = 2500;  // records of 1000, 1000 and 500, then the final one
constexpr std::size_t kHead = 9, kSignature = 128, kPreamble = 23;

class Inspect : public ToolTest {
 protected:
  // A package file signed with development key `key`.
  std::vector<std::uint8_t> Signed(unsigned key) {
    std::vector<std::uint8_t> payload(kPayloadSize);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 5);
    WriteBytes(Path("payload"), payload);
    const ToolResult result = RunTool(
        {"sign", "--key", (KeyDirectory() / ("key" + std::to_string(key) + ".pem")).string(),
         "--record-size", std::to_string(kRecordSize), Path("payload").string(),
         Path("signed").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    return ReadBytes(Path("signed"));
  }

  // inspect --json on the bytes; the parsed report (null when it does not parse).
  json InspectBytes(const std::vector<std::uint8_t>& bytes, int* status) {
    WriteBytes(Path("image"), bytes);
    const ToolResult result = RunTool({"inspect", Path("image").string(), "--json"});
    *status = result.status;
    EXPECT_TRUE(result.err.empty()) << result.err;
    return json::parse(result.out, nullptr, false);
  }
};

// Offsets of record n (1-based) of Signed(): data records of 1000, 1000, 500 bytes.
std::size_t RecordOffset(unsigned record) {
  const std::size_t sizes[] = {1000, 1000, 500, 0};
  std::size_t offset = kPreamble;
  for (unsigned i = 1; i < record; ++i) offset += kHead + sizes[i - 1] + kSignature;
  return offset;
}

TEST_F(Inspect, ValidImageListsItsRecordsAndTheKeyThatVerifiesIt) {
  const auto image = Signed(2);
  int status = -1;
  const json report = InspectBytes(image, &status);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["key"], 2);
  EXPECT_EQ(report["result"], kPayloadSize);
  EXPECT_EQ(report["total_payload"], kPayloadSize);
  EXPECT_EQ(report["magic"], "5230303046460a");
  EXPECT_EQ(report["header"], std::string(32, '0'));
  EXPECT_TRUE(report["failure"].is_null());
  ASSERT_EQ(report["records"].size(), 4u);
  EXPECT_EQ(report["records"][1], json({{"index", 2},
                                        {"type", "data"},
                                        {"offset", RecordOffset(2)},
                                        {"payload_length", 1000},
                                        {"signature_length", 128}}));
  EXPECT_EQ(report["records"][3]["type"], "final");
  EXPECT_EQ(report["records"][3]["offset"], RecordOffset(4));

  const ToolResult text = RunTool({"inspect", Path("image").string()});
  EXPECT_NE(text.out.find("built-in key 2 verifies every record"), std::string::npos) << text.out;
}

TEST_F(Inspect, DamagedImagesNameTheFirstFailingRecordAndWhy) {
  const auto good = Signed(1);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    unsigned record;
    const char* code;
    const char* reason;  // a part of the reason
    json key;            // the key that verified the records before it
  };
  auto flipped = [&good](std::size_t offset, unsigned bit) {
    auto bytes = good;
    bytes[offset] ^= static_cast<std::uint8_t>(1u << bit);
    return bytes;
  };
  const std::vector<Case> cases = {
      {"truncated", {good.begin(), good.end() - 1}, 4, "0", "run past the end", 1},
      {"one byte more",
       [&] {
         auto b = good;
         b.push_back(0);
         return b;
       }(),
       4, "0", "1 bytes follow it", 1},
      {"payload bit", flipped(RecordOffset(2) + kHead + 17, 3), 2, "NTE_BAD_SIGNATURE",
       "does not verify", 1},
      {"signature bit", flipped(RecordOffset(3) + kHead + 500 + 40, 0), 3, "NTE_BAD_SIGNATURE",
       "does not verify", 1},
      {"record header: payload length", flipped(RecordOffset(2) + 3, 7), 2, "0", "run past the end",
       1},
      {"record header: type", flipped(RecordOffset(1) + 8, 1), 1, "NTE_BAD_SIGNATURE",
       "does not verify", nullptr},
  };
  for (const Case& entry : cases) {
    SCOPED_TRACE(entry.name);
    int status = -1;
    const json report = InspectBytes(entry.bytes, &status);
    EXPECT_EQ(status, 1);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["result"], -1);
    EXPECT_EQ(report["key"], entry.key);
    ASSERT_TRUE(report["failure"].is_object());
    EXPECT_EQ(report["failure"]["record"], entry.record);
    EXPECT_EQ(report["failure"]["offset"], RecordOffset(entry.record));
    EXPECT_EQ(report["failure"]["code"], entry.code);
    EXPECT_NE(report["failure"]["reason"].get<std::string>().find(entry.reason), std::string::npos)
        << report["failure"]["reason"];
  }
}

TEST_F(Inspect, NotAnImageAndUnreadableFiles) {
  int status = -1;
  json report = InspectBytes(std::vector<std::uint8_t>(400, 'x'), &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report["signed_image"], false);
  EXPECT_EQ(report["result"], 0);
  report = InspectBytes({}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report["size"], 0);

  const ToolResult result = RunTool({"inspect", Path("missing").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
}

TEST_F(Inspect, FileSignedForAnotherSlotIsAMismatchOfItsOwn) {
  // A sound EA2 image in EA1's place: it verifies, but not with the key EA1 needs.
  const auto card = Path("card");
  std::filesystem::create_directories(card / "EA1");
  WriteBytes(Path("payload"), std::vector<std::uint8_t>(5000, 7));
  ASSERT_EQ(RunTool({"sign", "--key", (KeyDirectory() / "key2.pem").string(), "--slot", "ea2",
                     Path("payload").string(), (card / "EA1" / "syaffs.bc").string()})
                .status,
            0);
  ToolResult result = RunTool({"inspect", (card / "EA1" / "syaffs.bc").string()});
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.out.find("needs built-in key 1: signed with built-in key 2"), std::string::npos)
      << result.out;
  // The same file named by --slot, and as part of its card (whose other files are missing).
  EXPECT_EQ(RunTool({"inspect", (card / "EA1" / "syaffs.bc").string(), "--slot", "ea2"}).status, 0);
  result = RunTool({"inspect", card.string(), "--json"});
  EXPECT_EQ(result.status, 1);  // missing files outweigh a wrong key
  const json report = json::parse(result.out);
  ASSERT_EQ(report["files"].size(), 5u);
  EXPECT_EQ(report["files"][2]["verdict"], "wrong_key");
  EXPECT_EQ(report["files"][0]["verdict"], "missing");
}

}  // namespace
}  // namespace orvanta_test
