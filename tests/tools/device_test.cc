// device create, show, set and fault on temporary device directories.
#include <algorithm>

#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

using json = nlohmann::json;

// The default geometry: 8 blocks of 8 KiB, then 62 of 32 KiB; Semi-Permanent Settings in 65.
constexpr std::uint64_t kSemiPermanentBlockOffset = 8 * 8192 + (65 - 8) * 32768;

using DeviceCreate = ToolTest;

TEST_F(DeviceCreate, FormatsThroughTheSystemAndShowCarriesEveryField) {
  const auto device = MakeDevice("device");
  const json report = Show(device);
  for (const char* field : {"geometry", "partition_table", "settings", "part_number", "variant",
                            "update_request", "ac_line", "card", "faults"})
    EXPECT_TRUE(report.contains(field)) << field;

  EXPECT_EQ(report["geometry"]["blocks"], 70);
  const json& table = report["partition_table"];
  EXPECT_TRUE(table["valid"].get<bool>());
  ASSERT_EQ(table["entries"].size(), 6u);
  const json bootloader = table["entries"][4];
  EXPECT_EQ(bootloader["type"], 2);
  EXPECT_EQ(bootloader["name"], "Bootloader");
  EXPECT_EQ(bootloader["first_block"], 0);
  EXPECT_EQ(bootloader["last_block"], 37);
  EXPECT_EQ(bootloader["block_size"], 0);  // spans both regions

  ASSERT_EQ(report["settings"].size(), 4u);
  const std::vector<int> types = {6, 7, 8, 4};
  const std::vector<int> blocks = {68, 67, 66, 65};
  for (std::size_t i = 0; i < 4; ++i) {
    const json& partition = report["settings"][i];
    EXPECT_EQ(partition["type"], types[i]);
    EXPECT_EQ(partition["block"], blocks[i]);
    EXPECT_TRUE(partition["readable"].get<bool>()) << partition.dump();
  }
  // The part number: record 2, UTF-16LE without a terminator.
  const json& records = report["settings"][3]["records"];
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["id"], 2);
  EXPECT_EQ(records[0]["attribute"], 0);
  EXPECT_EQ(records[0]["length"], 16);
  EXPECT_EQ(records[0]["data"], "350032003600310034002d0030003100");
  EXPECT_EQ(report["part_number"], "52614-01");
  EXPECT_EQ(report["variant"], 1);
  EXPECT_TRUE(report["update_request"].is_null());
  EXPECT_EQ(report["ac_line"], "online");
  EXPECT_TRUE(report["card"]["capacity"].is_number());
  EXPECT_TRUE(report["card"]["free"].is_number());
  EXPECT_EQ(report["faults"], json::array());
}

TEST_F(DeviceCreate, EmptyPartNumberStoresNone) {
  const json report = Show(MakeDevice("device", {"--part-number", ""}));
  EXPECT_TRUE(report["part_number"].is_null());
  EXPECT_EQ(report["variant"], 0);
  EXPECT_EQ(report["settings"][3]["records"], json::array());
  EXPECT_TRUE(report["settings"][3]["readable"].get<bool>());
}

TEST_F(DeviceCreate, PartNumberChoosesTheVariant) {
  EXPECT_EQ(Show(MakeDevice("a", {"--part-number", "52614-13"}))["variant"], 3);
  EXPECT_EQ(Show(MakeDevice("b", {"--part-number", "52614-22"}))["variant"], 2);
  const json unknown = Show(MakeDevice("c", {"--part-number", "52614-99"}));
  EXPECT_EQ(unknown["part_number"], "52614-99");
  EXPECT_EQ(unknown["variant"], 0);
}

TEST_F(DeviceCreate, PartNumberLongerThanTheReaderTakesReadsAsUnknown) {
  // 21 characters: stored, but the device reads it as "Unprogrammed".
  const json report = Show(MakeDevice("device", {"--part-number", "52614-01-0123456789ab"}));
  EXPECT_EQ(report["part_number"], "52614-01-0123456789ab");
  EXPECT_EQ(report["variant"], 0);
}

TEST_F(DeviceCreate, EnvironmentOptionsLandInDeviceJson) {
  // A leading zero is decimal, not octal.
  const auto device =
      MakeDevice("device", {"--power", "offline", "--card-capacity", "8M", "--timing", "virtual",
                            "--shell", "Other", "--manufacturer", "0137"});
  const json config = json::parse(ReadBytes(device / "device.json"));
  EXPECT_EQ(config["flash"]["manufacturer"], 137);
  EXPECT_EQ(config["ac_line"], "offline");
  EXPECT_EQ(config["card_capacity"], 8 * 1024 * 1024);
  EXPECT_EQ(config["timing"], "virtual");
  EXPECT_EQ(config["shell"], "Other");
  const json report = Show(device);
  EXPECT_EQ(report["card"]["capacity"], 8 * 1024 * 1024);
  EXPECT_EQ(report["card"]["free"], 8 * 1024 * 1024);
}

TEST_F(DeviceCreate, OneRegionGeometry) {
  const json report = Show(MakeDevice("device", {"--regions", "64x32K"}));
  const json& entries = report["partition_table"]["entries"];
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[4]["last_block"], 31);
  EXPECT_EQ(entries[4]["block_size"], 0x8000);
  EXPECT_EQ(entries[5]["first_block"], 32);
  EXPECT_EQ(entries[5]["last_block"], 55);
  EXPECT_EQ(report["settings"][3]["block"], 59);
}

TEST_F(DeviceCreate, BlankLeavesTheFlashErased) {
  const auto device = MakeDevice("device", {"--blank"});
  const auto nor = ReadBytes(device / "nor.bin");
  EXPECT_EQ(nor.size(), 2u * 1024 * 1024);
  EXPECT_TRUE(std::all_of(nor.begin(), nor.end(), [](std::uint8_t byte) { return byte == 0xFF; }));
  const json report = Show(device);
  EXPECT_FALSE(report["partition_table"]["valid"].get<bool>());
  // The settings are looked for where the next open's default table will put them.
  EXPECT_EQ(report["settings"][3]["block"], 65);
  EXPECT_FALSE(report["settings"][3]["readable"].get<bool>());
  EXPECT_TRUE(report["part_number"].is_null());
  // Showing changed nothing: no table was written.
  EXPECT_EQ(ReadBytes(device / "nor.bin"), nor);
}

TEST_F(DeviceCreate, GeometryWithoutRoomForTheTableIsNamedAndCreatesNothing) {
  const auto device = Path("device");
  const ToolResult result =
      RunTool({"device", "create", device.string(), "--regions", "8x8K,31x64K"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("flash geometry 8x8K,31x64K"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(device));
  // Too few blocks: 9 is refused as well; with --blank the same geometry is made.
  EXPECT_EQ(RunTool({"device", "create", device.string(), "--regions", "9x256K"}).status, 2);
  EXPECT_EQ(RunTool({"device", "create", device.string(), "--regions", "9x128K", "--blank"}).status,
            0);
}

TEST_F(DeviceCreate, BadArgumentsAreNamed) {
  const auto device = Path("device").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--regions", "8by8K"}, "--regions"},
      {{"--regions", "8x100"}, "--regions"},
      {{"--regions", "1x64K,1x64K,1x64K"}, "--regions"},
      {{"--power", "solar"}, "--power"},
      {{"--timing", "fast"}, "--timing"},
      {{"--shell", "Desktop"}, "--shell"},
      {{"--manufacturer", "0x10000"}, "--manufacturer"},
      {{"--card-capacity", "lots"}, "--card-capacity"},
      {{"--size-exponent", "300"}, "--size-exponent"},
      // Decimal or 0x hexadecimal only: no sign that wraps, no digits past 64 bits.
      {{"--card-capacity", "-1"}, "--card-capacity"},
      {{"--card-capacity", "99999999999999999999"}, "--card-capacity"},
      {{"--manufacturer", "0x"}, "--manufacturer"},
  };
  for (const auto& [extra, named] : cases) {
    std::vector<std::string> arguments = {"device", "create", device};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.status, 2) << named;
    EXPECT_EQ(LineCount(result.err), 1) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(device)) << named;
  }
}

TEST_F(DeviceCreate, RefusesADirectoryInUse) {
  const auto device = Path("device");
  std::filesystem::create_directories(device);
  WriteBytes(device / "notes.txt", {'h', 'i'});
  const ToolResult result = RunTool({"device", "create", device.string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(ReadBytes(device / "notes.txt"), (std::vector<std::uint8_t>{'h', 'i'}));
}

using DeviceShow = ToolTest;

TEST_F(DeviceShow, TextReport) {
  const auto device = MakeDevice("device");
  const ToolResult result = RunTool({"device", "show", device.string()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("part number \"52614-01\", variant 1"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("update request none"), std::string::npos);
  EXPECT_NE(result.out.find("Semi-Permanent Settings"), std::string::npos);
  // Not a terminal: no flash map.
  EXPECT_EQ(result.out.find("flash map"), std::string::npos);
}

TEST_F(DeviceShow, MissingDeviceIsNamed) {
  const ToolResult result = RunTool({"device", "show", Path("nowhere").string(), "--json"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("nowhere"), std::string::npos) << result.err;
  EXPECT_TRUE(result.out.empty());
}

TEST_F(DeviceShow, SingleFlippedBitIsCorrectedAndADoubleOneMakesTheBlockUnreadable) {
  const auto device = MakeDevice("device");
  const std::uint64_t payloadByte = kSemiPermanentBlockOffset + 15 + 12;  // part number data
  ASSERT_EQ(RunTool({"device", "fault", device.string(), "--flip-bit",
                     std::to_string(payloadByte) + ":3"})
                .status,
            0);
  json report = Show(device);
  EXPECT_TRUE(report["settings"][3]["readable"].get<bool>());
  EXPECT_EQ(report["settings"][3]["corrected_bits"], 1);
  EXPECT_EQ(report["part_number"], "52614-01");

  ASSERT_EQ(RunTool({"device", "fault", device.string(), "--flip-bit",
                     std::to_string(payloadByte + 2) + ":0"})
                .status,
            0);
  report = Show(device);
  EXPECT_FALSE(report["settings"][3]["readable"].get<bool>());
  EXPECT_EQ(report["settings"][3]["reason"], "chunk 0 uncorrectable");
  EXPECT_TRUE(report["part_number"].is_null()) << "the device reads nothing from this block";
  EXPECT_EQ(report["variant"], 0);
}

// A counter that never advances would make the updater wait for ever at its first time limit:
// the bench refuses such a device wherever it reads its configuration.
TEST_F(DeviceShow, StoppedVirtualCounterIsRefusedEverywhere) {
  const auto device = MakeDevice("device", {"--timing", "virtual"});
  json config = json::parse(ReadBytes(device / "device.json"));
  config["virtual_step"] = 0;
  const std::string text = config.dump();
  WriteBytes(device / "device.json", std::vector<std::uint8_t>(text.begin(), text.end()));
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"device", "show", device.string()},
        {"device", "set", device.string(), "--power", "offline"},
        {"run", device.string(), "--headless", "--answers", "ok"}}) {
    const ToolResult result = RunTool(command);
    EXPECT_EQ(result.status, 2) << command[1];
    EXPECT_EQ(LineCount(result.err), 1) << result.err;
    EXPECT_NE(result.err.find("virtual_step"), std::string::npos) << result.err;
  }
  EXPECT_EQ(ReadBytes(device / "device.json"), std::vector<std::uint8_t>(text.begin(), text.end()));
}

TEST_F(DeviceShow, DamagedHeaderSaysWhy) {
  const auto device = MakeDevice("device");
  auto nor = ReadBytes(device / "nor.bin");
  nor[kSemiPermanentBlockOffset + 4] ^= 0x06;  // two bits of the version: beyond the code
  WriteBytes(device / "nor.bin", nor);
  const json report = Show(device);
  EXPECT_FALSE(report["settings"][3]["readable"].get<bool>());
  EXPECT_EQ(report["settings"][3]["reason"], "header code uncorrectable");
  EXPECT_EQ(report["variant"], 0);
}

using DeviceSet = ToolTest;

TEST_F(DeviceSet, ChangesPowerTimingAndCard) {
  const auto device = MakeDevice("device");
  ASSERT_EQ(RunTool({"device", "set", device.string(), "--power", "backup", "--timing", "realistic",
                     "--card-capacity", "0x100000"})
                .status,
            0);
  json report = Show(device);
  EXPECT_EQ(report["ac_line"], "backup");
  EXPECT_EQ(report["timing"], "realistic");
  EXPECT_EQ(report["card"]["capacity"], 0x100000);
  ASSERT_EQ(RunTool({"device", "set", device.string(), "--card-capacity", "none"}).status, 0);
  const json config = json::parse(ReadBytes(device / "device.json"));
  EXPECT_TRUE(config["card_capacity"].is_null());
}

TEST_F(DeviceSet, PartNumberGoesThroughAStoreCycle) {
  const auto device = MakeDevice("device");
  ASSERT_EQ(RunTool({"device", "set", device.string(), "--part-number", "52614-02"}).status, 0);
  json report = Show(device);
  EXPECT_EQ(report["part_number"], "52614-02");
  EXPECT_EQ(report["variant"], 2);
  // Replaced, not added.
  EXPECT_EQ(report["settings"][3]["records"].size(), 1u);
  ASSERT_EQ(RunTool({"device", "set", device.string(), "--part-number", ""}).status, 0);
  report = Show(device);
  EXPECT_TRUE(report["part_number"].is_null());
  EXPECT_TRUE(report["settings"][3]["readable"].get<bool>());
}

TEST_F(DeviceSet, RefusesToRewriteAnUnreadableSettingsBlock) {
  const auto device = MakeDevice("device");
  const std::uint64_t payloadByte = kSemiPermanentBlockOffset + 15 + 12;
  for (const std::string bit : {":0", ":1"})
    ASSERT_EQ(RunTool({"device", "fault", device.string(), "--flip-bit",
                       std::to_string(payloadByte) + bit})
                  .status,
              0);
  const auto before = ReadBytes(device / "nor.bin");
  const ToolResult result =
      RunTool({"device", "set", device.string(), "--part-number", "52614-03"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("does not read"), std::string::npos) << result.err;
  EXPECT_EQ(ReadBytes(device / "nor.bin"), before);
}

// A power cut right after the block's erase leaves it blank, part number and all; asked to, the
// tool writes the block anew so that the device has a variant again.
TEST_F(DeviceSet, OverwritesAnErasedSettingsBlockWhenAsked) {
  const auto device = MakeDevice("device");
  auto nor = ReadBytes(device / "nor.bin");
  std::fill_n(nor.begin() + kSemiPermanentBlockOffset, 32768, 0xFF);
  WriteBytes(device / "nor.bin", nor);
  ASSERT_EQ(Show(device)["variant"], 0);
  ASSERT_EQ(RunTool({"device", "set", device.string(), "--part-number", "52614-03"}).status, 2);
  const ToolResult result = RunTool(
      {"device", "set", device.string(), "--part-number", "52614-03", "--overwrite-unreadable"});
  ASSERT_EQ(result.status, 0) << result.err;
  const json report = Show(device);
  EXPECT_TRUE(report["settings"][3]["readable"].get<bool>());
  EXPECT_EQ(report["part_number"], "52614-03");
  EXPECT_EQ(report["variant"], 3);
  // The other settings partitions are untouched.
  const auto after = ReadBytes(device / "nor.bin");
  EXPECT_TRUE(std::equal(nor.begin(), nor.begin() + kSemiPermanentBlockOffset, after.begin()));
  EXPECT_TRUE(std::equal(nor.begin() + kSemiPermanentBlockOffset + 32768, nor.end(),
                         after.begin() + kSemiPermanentBlockOffset + 32768));
  // The flag goes with a part number only.
  EXPECT_EQ(RunTool({"device", "set", device.string(), "--overwrite-unreadable"}).status, 2);
}

TEST_F(DeviceSet, BadArguments) {
  const auto device = MakeDevice("device");
  ToolResult result = RunTool({"device", "set", device.string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1);
  result = RunTool({"device", "set", device.string(), "--card-capacity", "-5"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--card-capacity"), std::string::npos) << result.err;
  result = RunTool({"device", "set", Path("missing").string(), "--power", "offline"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("missing"), std::string::npos) << result.err;
}

using DeviceFault = ToolTest;

TEST_F(DeviceFault, EachKindJoinsThePlan) {
  const auto device = MakeDevice("device");
  const std::vector<std::vector<std::string>> faults = {
      {"--erase-error", "3"},     {"--program-error", "5"}, {"--program-error", "6:100"},
      {"--never-ready", "69"},    {"--vpp-error"},          {"--power-cut-after", "40"},
      {"--flip-bit", "0x1000:7"}, {"--restart-fails"}};
  for (std::vector<std::string> fault : faults) {
    fault.insert(fault.begin(), {"device", "fault", device.string()});
    const ToolResult result = RunTool(fault);
    EXPECT_EQ(result.status, 0) << fault[3] << ": " << result.err;
  }
  const json plan = Show(device)["faults"];
  const json expected = json::parse(R"([
    {"kind":"erase_error","block":3}, {"kind":"program_error","block":5},
    {"kind":"program_error","block":6,"word":100}, {"kind":"never_ready","block":69},
    {"kind":"vpp_error"}, {"kind":"power_cut_after","count":40},
    {"kind":"flip_bit","offset":4096,"bit":7}, {"kind":"restart_fails"}])");
  EXPECT_EQ(plan, expected);
  ASSERT_EQ(RunTool({"device", "fault", device.string(), "--clear"}).status, 0);
  EXPECT_EQ(Show(device)["faults"], json::array());
}

TEST_F(DeviceFault, FlipBitChangesExactlyThatBitAtOnce) {
  const auto device = MakeDevice("device");
  const auto before = ReadBytes(device / "nor.bin");
  ASSERT_EQ(RunTool({"device", "fault", device.string(), "--flip-bit", "4096:7"}).status, 0);
  auto expected = before;
  expected[4096] ^= 0x80;
  EXPECT_EQ(ReadBytes(device / "nor.bin"), expected);
}

TEST_F(DeviceFault, BadArguments) {
  const auto device = MakeDevice("device");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "exactly one"},
      {{"--vpp-error", "--clear"}, "exactly one"},
      {{"--erase-error", "70"}, "--erase-error"},
      {{"--never-ready", "x"}, "--never-ready"},
      {{"--program-error", "0:4096"}, "--program-error"},  // block 0 has 4096 words
      {{"--flip-bit", "2097152:0"}, "--flip-bit"},
      {{"--flip-bit", "0:8"}, "--flip-bit"},
      {{"--flip-bit", "12"}, "--flip-bit"},
      {{"--power-cut-after", "many"}, "--power-cut-after"},
  };
  const auto before = ReadBytes(device / "device.json");
  for (const auto& [extra, named] : cases) {
    std::vector<std::string> arguments = {"device", "fault", device.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.status, 2) << named;
    EXPECT_EQ(LineCount(result.err), 1) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
  }
  EXPECT_EQ(ReadBytes(device / "device.json"), before);
}

}  // namespace
}  // namespace orvanta_test
