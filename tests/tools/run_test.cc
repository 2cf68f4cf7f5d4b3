// run and demo: the updater on a device the tool made.
#include <fstream>

#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

using json = nlohmann::json;

std::vector<json> Transcript(const std::filesystem::path& path) {
  std::vector<json> events;
  std::ifstream input(path);
  std::string line;
  while (std::getline(input, line)) events.push_back(json::parse(line));
  return events;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed ^ (i * 13));
  return bytes;
}

class Run : public ToolTest {
 protected:
  // A formatted device with a signed package on its card.
  std::filesystem::path PackagedDevice() {
    const auto device = MakeDevice("device");
    for (const char* name : {"boot", "sdisk", "ea1", "ea2", "eb"})
      WriteBytes(Path(name), Pattern(name[0] == 'b' ? 100000 : 300000, name[1]));
    const ToolResult result =
        RunTool({"package", "--keys", KeyDirectory().string(), "--card",
                 (device / "SD Card").string(), "--bootloader", Path("boot").string(), "--sdisk",
                 Path("sdisk").string(), "--image-ea1", Path("ea1").string(), "--image-ea2",
                 Path("ea2").string(), "--image-eb", Path("eb").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    return device;
  }
};

TEST_F(Run, PackageThenHeadlessOkEndsInARestart) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "ok",
                                     "--transcript", Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::vector<json> events = Transcript(Path("transcript.jsonl"));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2]["event"], "restart");
  EXPECT_EQ(events.back(), json({{"event", "exit"}, {"status", 0}}));
  const json report = Show(device);
  EXPECT_EQ(report["update_request"], 1);
  // The bootloader is in flash from block 0.
  const auto nor = ReadBytes(device / "nor.bin");
  const auto boot = ReadBytes(Path("boot"));
  EXPECT_TRUE(std::equal(boot.begin(), boot.end(), nor.begin()));
}

TEST_F(Run, CancelledConfirmationReportsFailure) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "cancel",
                                     "--transcript", Path("transcript.jsonl").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(Transcript(Path("transcript.jsonl")).back(), json({{"event", "exit"}, {"status", 1}}));
  EXPECT_TRUE(Show(device)["update_request"].is_null());
}

TEST_F(Run, TranscriptDefaultsToStandardOutput) {
  const auto device = PackagedDevice();
  const ToolResult result = RunTool({"run", device.string(), "--headless", "--answers", "ok"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("{\"event\":\"restart\"}"), std::string::npos) << result.out;
}

TEST_F(Run, BadArguments) {
  ToolResult result = RunTool({"run", Path("nowhere").string(), "--headless"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("nowhere"), std::string::npos) << result.err;
  const auto device = MakeDevice("device");
  // A bad answer token is the updater's to refuse: the platform cannot start (status 2).
  result = RunTool({"run", device.string(), "--headless", "--answers", "maybe"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("maybe"), std::string::npos) << result.err;
}

using Demo = ToolTest;

TEST_F(Demo, NotOnATerminalEndsWithTheUpdateRequest) {
  const auto device = Path("demo");
  const ToolResult result = RunTool({"demo", device.string()});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("update request (record 37): none -> 1"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("holds the new bootloader: yes"), std::string::npos) << result.out;
  const json report = Show(device);
  EXPECT_EQ(report["update_request"], 1);
  EXPECT_EQ(report["variant"], 1);
  EXPECT_TRUE(std::filesystem::exists(device / "SD Card" / "syaffs.bc"));
}

TEST_F(Demo, RefusesADirectoryInUse) {
  std::filesystem::create_directories(Path("demo"));
  WriteBytes(Path("demo") / "keep", {'k'});
  const ToolResult result = RunTool({"demo", Path("demo").string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(ReadBytes(Path("demo") / "keep"), std::vector<std::uint8_t>{'k'});
}

}  // namespace
}  // namespace orvanta_test
