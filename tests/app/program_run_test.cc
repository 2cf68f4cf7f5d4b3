// Whole runs of the updater programs with the headless front end: exit statuses, transcripts,
// scripted answers, and the single-instance check between two processes on one device.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "process_runner.h"
#include "sim/device.h"

namespace {

using apptest::Environment;
using nlohmann::json;

std::vector<json> Events(const std::filesystem::path& transcript) {
  std::vector<json> events;
  for (const std::string& line : apptest::ReadLines(transcript)) {
    events.push_back(json::parse(line));
  }
  return events;
}

bool HasEvent(const std::filesystem::path& transcript, const std::string& name) {
  for (const std::string& line : apptest::ReadLines(transcript)) {
    const json event = json::parse(line, nullptr, false);
    if (!event.is_discarded() && event.value("event", "") == name) return true;
  }
  return false;
}

class ProgramRunTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeDevice(sim::Shell::PocketPC)); }

  bool MakeDevice(sim::Shell shell) {
    sim::DeviceConfig config;
    config.shell = shell;
    std::string error;
    const bool made = sim::CreateDevice({device_}, config, &error);
    EXPECT_TRUE(made) << error;
    return made;
  }

  Environment Headless(const std::filesystem::path& transcript, const std::string& script = "",
                       const std::string& answers = "") const {
    return {{"ORVANTA_DEVICE", device_.string()},
            {"ORVANTA_UI", "headless"},
            {"ORVANTA_TRANSCRIPT", transcript.string()},
            {"ORVANTA_ANSWERS", answers},
            {"ORVANTA_TEST_SCRIPT", script},
            {"ORVANTA_TEST_LOG", (directory_.Path() / "answers.log").string()}};
  }

  apptest::TemporaryDirectory directory_;
  std::filesystem::path device_ = directory_.Path() / "device";
  std::filesystem::path transcript_ = directory_.Path() / "transcript.jsonl";
};

}  // namespace

TEST_F(ProgramRunTest, UpdaterOnANewDeviceFailsWithMessage130ThenExit) {
  ASSERT_EQ(apptest::RunProgram(ORVANTA_UPDATE_PROGRAM, Headless(transcript_)), 1);
  const std::vector<json> events = Events(transcript_);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(),
            (json{{"event", "dialog"},
                  {"title", "OrvantaUpdate"},
                  {"warning", "Do not turn off the Orvanta or remove external power!"}}));
  EXPECT_EQ(events[events.size() - 2], (json{{"event", "message"},
                                             {"id", 130},
                                             {"text", "Failed to complete upgrade."},
                                             {"type", 0},
                                             {"answer", 1}}));
  EXPECT_EQ(events.back(), (json{{"event", "exit"}, {"status", 1}}));
}

TEST_F(ProgramRunTest, AMissingDeviceEndsWithStatus2AndOneLineOnStandardError) {
  Environment environment = Headless(transcript_);
  environment["ORVANTA_DEVICE"] = (directory_.Path() / "no-such-device").string();
  const auto errors = directory_.Path() / "stderr.txt";
  EXPECT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, environment, {}, errors), 2);
  const std::vector<std::string> lines = apptest::ReadLines(errors);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("no-such-device"), std::string::npos) << lines[0];
  EXPECT_EQ(Events(transcript_).back(), (json{{"event", "exit"}, {"status", 2}}));
}

TEST_F(ProgramRunTest, BadAnswersOrFrontEndAreRefusedBeforeAnythingRuns) {
  const auto errors = directory_.Path() / "stderr.txt";
  EXPECT_EQ(
      apptest::RunProgram(SCRIPTED_PROGRAM, Headless(transcript_, "", "ok,maybe"), {}, errors), 2);
  EXPECT_NE(apptest::ReadFile(errors).find("maybe"), std::string::npos);
  Environment environment = Headless(transcript_);
  environment["ORVANTA_UI"] = "gui";
  EXPECT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, environment, {}, errors), 2);
  EXPECT_NE(apptest::ReadFile(errors).find("ORVANTA_UI"), std::string::npos);
}

TEST_F(ProgramRunTest, AnswersArePlayedInOrderAndPowerTokensSetTheAcLine) {
  const std::string script = "box:132:1,box:129:1,box:129:1,box:133:0,box:129:1";
  ASSERT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM,
                                Headless(transcript_, script, "ok,unplug,none,plug,cancel")),
            1);
  std::vector<json> messages;
  std::vector<json> power;
  for (const json& event : Events(transcript_)) {
    if (event["event"] == "message") messages.push_back(event);
    if (event["event"] == "power") power.push_back(event);
  }
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[0]["answer"], 1);  // ok
  EXPECT_EQ(messages[0]["type"], 1);
  EXPECT_EQ(messages[1]["answer"], 0);  // none: neither IDOK nor IDCANCEL
  EXPECT_EQ(messages[2]["answer"], 2);  // cancel
  EXPECT_EQ(messages[3]["answer"], 1);  // used up: MB_OK answers IDOK
  EXPECT_EQ(messages[3]["type"], 0);
  EXPECT_EQ(messages[4]["answer"], 2);  // used up: MB_OKCANCEL answers IDCANCEL
  EXPECT_EQ(messages[5]["id"], 130);
  EXPECT_EQ(power, (std::vector<json>{{{"event", "power"}, {"ac_line", "offline"}},
                                      {{"event", "power"}, {"ac_line", "online"}}}));
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig({device_});
  ASSERT_TRUE(config);
  EXPECT_EQ(config.value->acLine, sim::AcLine::Online);
  EXPECT_EQ(apptest::ReadLines(directory_.Path() / "answers.log"),
            (std::vector<std::string>{"132=1", "129=0", "129=2", "133=1", "129=2"}));
}

TEST_F(ProgramRunTest, CounterAndProgressAreWrittenInOrderAndProgressOnlyWhenItChanges) {
  const std::string script = "advance,reset,progress:10,progress:10,progress:55,reset,advance";
  ASSERT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, Headless(transcript_, script)), 1);
  std::vector<json> events = Events(transcript_);
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[1], (json{{"event", "counter"}, {"text", "Operation 1 of 6:"}}));
  EXPECT_EQ(events[2], (json{{"event", "progress"}, {"position", 10}}));
  EXPECT_EQ(events[3], (json{{"event", "progress"}, {"position", 55}}));
  EXPECT_EQ(events[4], (json{{"event", "progress"}, {"position", 0}}));
  EXPECT_EQ(events[5], (json{{"event", "counter"}, {"text", "Operation 2 of 6:"}}));
  EXPECT_EQ(events[6]["id"], 130);
  // Each line is written with "event" first, as the transcript is documented.
  EXPECT_EQ(apptest::ReadLines(transcript_)[1],
            R"({"event":"counter","text":"Operation 1 of 6:"})");
  EXPECT_EQ(apptest::ReadLines(transcript_)[6].rfind(R"({"event":"message","id":130,)", 0), 0u);
}

TEST_F(ProgramRunTest, ARestartEndsTheRunWithStatus0) {
  ASSERT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, Headless(transcript_, "advance,restart")), 0);
  const std::vector<json> events = Events(transcript_);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], (json{{"event", "restart"}}));
  EXPECT_EQ(events.back(), (json{{"event", "exit"}, {"status", 0}}));
}

TEST_F(ProgramRunTest, ASecondInstanceBringsTheFirstForwardAndExits255WithoutADialog) {
  const auto release = directory_.Path() / "release";
  const pid_t first =
      apptest::StartProgram(SCRIPTED_PROGRAM, Headless(transcript_, "wait:" + release.string()));
  ASSERT_TRUE(apptest::WaitUntil([&] { return HasEvent(transcript_, "dialog"); }));

  const auto secondTranscript = directory_.Path() / "second.jsonl";
  EXPECT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, Headless(secondTranscript)), 255);
  EXPECT_EQ(Events(secondTranscript), (std::vector<json>{{{"event", "exit"}, {"status", 255}}}));
  EXPECT_TRUE(apptest::WaitUntil([&] { return HasEvent(transcript_, "foreground"); }));

  std::ofstream(release).put('x');
  EXPECT_EQ(apptest::WaitForProgram(first), 1);
  // The first instance's window is gone from the device: a later start runs normally.
  EXPECT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, Headless(secondTranscript)), 1);
}

TEST_F(ProgramRunTest, AnOtherShellSkipsTheSingleInstanceCheck) {
  std::filesystem::remove_all(device_);
  ASSERT_TRUE(MakeDevice(sim::Shell::Other));
  const auto release = directory_.Path() / "release";
  const pid_t first =
      apptest::StartProgram(SCRIPTED_PROGRAM, Headless(transcript_, "wait:" + release.string()));
  ASSERT_TRUE(apptest::WaitUntil([&] { return HasEvent(transcript_, "dialog"); }));

  const auto secondTranscript = directory_.Path() / "second.jsonl";
  const pid_t second = apptest::StartProgram(
      SCRIPTED_PROGRAM, Headless(secondTranscript, "wait:" + release.string()));
  EXPECT_TRUE(apptest::WaitUntil([&] { return HasEvent(secondTranscript, "dialog"); }));
  std::ofstream(release).put('x');
  EXPECT_EQ(apptest::WaitForProgram(second), 1);
  EXPECT_EQ(apptest::WaitForProgram(first), 1);
  EXPECT_FALSE(HasEvent(transcript_, "foreground"));
}

TEST_F(ProgramRunTest, WithoutAChoiceARunWhoseOutputIsNoTerminalIsHeadless) {
  Environment environment = Headless({});
  environment.erase("ORVANTA_TRANSCRIPT");
  environment["ORVANTA_UI"] = "";
  const auto output = directory_.Path() / "stdout.jsonl";
  ASSERT_EQ(apptest::RunProgram(SCRIPTED_PROGRAM, environment, output), 1);
  const std::vector<json> events = Events(output);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["event"], "dialog");
  EXPECT_EQ(events[1]["id"], 130);
  EXPECT_EQ(events[2], (json{{"event", "exit"}, {"status", 1}}));
}
