// The device directory: loading device.json and the platform's start-up check.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "host/core_library/lifecycle.h"
#include "host_test_support.h"
#include "sim/device.h"
#include "testsupport/temporary_device.h"

namespace {

struct Malformed {
  const char* document;
  const char* field;  // what the one-line error must name
};

TEST(DeviceConfig, SavedConfigLoadsBackUnchanged) {
  sim::DeviceConfig config = host_test::SmallFlash();
  config.regions = {{8, 0x2000}, {3, 0x8000}};
  config.acLine = sim::AcLine::Backup;
  config.cardCapacity = 123456789012ull;
  config.timing = sim::TimingMode::Virtual;
  config.lockVariant = sim::LockVariant::UnlockAll;
  config.lockTimeUs = 70;
  config.unlockTimeUs = 9000;
  config.faults = {sim::Fault::ProgramError(2, 17), sim::Fault::FlipBit(99, 3),
                   sim::Fault::PowerCutAfter(40, 7), sim::Fault::RestartFails()};
  testsupport::TemporaryDevice device(config);
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(device.Paths());
  ASSERT_TRUE(loaded) << loaded.error;
  EXPECT_EQ(*loaded.value, config);
  EXPECT_EQ(std::filesystem::file_size(device.Paths().Nor()), config.TotalBytes());
}

TEST(DeviceConfig, MalformedFieldsGiveOneLineNamingFileAndField) {
  const Malformed cases[] = {
      {R"({"ac_line": 3})", "ac_line"},
      {R"({"ac_line": "plugged"})", "ac_line"},
      {R"({"card_capacity": -1})", "card_capacity"},
      {R"({"card_capacity": "12x"})", "card_capacity"},
      {R"({"flash": {"regions": [{"count": 1}]}})", "flash.regions[0].size"},
      {R"({"flash": {"regions": [{"count": 1, "size": 256}, {"size": 256}]}})",
       "flash.regions[1].count"},
      {R"({"flash": {"regions": [{"count": 1, "size": 100}]}})", "flash.regions[0].size"},
      {R"({"flash": {"manufacturer": 65536}})", "flash.manufacturer"},
      {R"({"flash": []})", "flash"},
      {R"({"faults": [{"kind": "erase_error"}]})", "faults[0].block"},
      {R"({"faults": [{"block": 1}]})", "faults[0].kind"},
      {R"({"faults": [{"kind": "flip_bit", "offset": 1, "bit": 8}]})", "faults[0].bit"},
      {R"({"timing": "fast"})", "timing"},
  };
  for (const Malformed& entry : cases) {
    testsupport::TemporaryDevice device{host_test::SmallFlash()};
    host_test::WriteFile(device.Paths().Config(), entry.document);
    const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(device.Paths());
    EXPECT_FALSE(loaded) << entry.document;
    EXPECT_NE(loaded.error.find(device.Paths().Config().string()), std::string::npos)
        << loaded.error;
    EXPECT_NE(loaded.error.find(std::string("field ") + entry.field + ":"), std::string::npos)
        << entry.document << " -> " << loaded.error;
    EXPECT_EQ(loaded.error.find('\n'), std::string::npos) << loaded.error;
  }
}

TEST(DeviceConfig, BrokenJsonAndMissingDirectoryGiveOneLine) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  host_test::WriteFile(device.Paths().Config(), "{\"ac_line\": ");
  sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(device.Paths());
  EXPECT_FALSE(loaded);
  EXPECT_NE(loaded.error.find("device.json: not valid JSON"), std::string::npos) << loaded.error;
  EXPECT_EQ(loaded.error.find('\n'), std::string::npos);

  loaded = sim::LoadDeviceConfig(sim::DevicePaths{device.Paths().root / "absent"});
  EXPECT_FALSE(loaded);
  EXPECT_NE(loaded.error.find("absent: no such device directory"), std::string::npos);
}

TEST(StartPlatform, ChecksTheCurrentDevice) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  std::string error;
  EXPECT_TRUE(host::StartPlatform(&error)) << error;
  host_test::WriteFile(device.Paths().Config(), R"({"shell": 1})");
  EXPECT_FALSE(host::StartPlatform(&error));
  EXPECT_NE(error.find("field shell:"), std::string::npos) << error;
  ::setenv("ORVANTA_DEVICE", (device.Paths().root / "absent").c_str(), 1);
  EXPECT_FALSE(host::StartPlatform(&error));
  EXPECT_NE(error.find("no such device directory"), std::string::npos) << error;
}

TEST(CreateDevice, RefusesANonEmptyDirectory) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  std::string error;
  EXPECT_FALSE(sim::CreateDevice(device.Paths(), sim::DeviceConfig(), &error));
  EXPECT_NE(error.find("exists and is not empty"), std::string::npos);
}

// Savers in two threads of one process each write a temporary of their own: every save
// succeeds, the file holds one of the configurations whole, and no temporary is left.
TEST(SaveDeviceConfig, ConcurrentSaversDoNotShareATemporary) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  sim::DeviceConfig online = host_test::SmallFlash();
  sim::DeviceConfig offline = online;
  offline.acLine = sim::AcLine::Offline;
  std::atomic<int> failures{0};
  auto save = [&](const sim::DeviceConfig& config) {
    for (int i = 0; i < 200; ++i)
      if (!sim::SaveDeviceConfig(device.Paths(), config, nullptr)) ++failures;
  };
  std::thread first(save, online);
  std::thread second(save, offline);
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0);
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(device.Paths());
  ASSERT_TRUE(loaded) << loaded.error;
  EXPECT_TRUE(*loaded.value == online || *loaded.value == offline);
  for (const auto& entry : std::filesystem::directory_iterator(device.Paths().root))
    EXPECT_EQ(entry.path().filename().string().find(".device.json."), std::string::npos)
        << entry.path();
}

// The hardware goes on when its journal cannot be written, and says so.
TEST(AppendJournal, AJournalThatCannotBeWrittenIsReported) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  std::filesystem::remove(device.Paths().Journal());
  std::filesystem::create_directory(device.Paths().Journal());
  ::testing::internal::CaptureStderr();
  sim::AppendJournal(device.Paths(), R"({"event":"restart"})");
  const std::string reported = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(reported.find("journal.jsonl: cannot append {\"event\":\"restart\"}"),
            std::string::npos)
      << reported;
}

}  // namespace
