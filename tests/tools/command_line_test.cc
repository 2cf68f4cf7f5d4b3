// The command line as a whole: help with examples, one-line errors with status 2.
#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

TEST(CommandLine, EverySubcommandHasHelpWithAnExample) {
  const std::vector<std::vector<std::string>> commands = {{},
                                                          {"device"},
                                                          {"device", "create"},
                                                          {"device", "show"},
                                                          {"device", "set"},
                                                          {"device", "fault"},
                                                          {"keygen"},
                                                          {"sign"},
                                                          {"verify"},
                                                          {"check-signature"},
                                                          {"digest"},
                                                          {"package"},
                                                          {"run"},
                                                          {"demo"},
                                                          {"completion"},
                                                          {"completion", "bash"}};
  for (std::vector<std::string> command : commands) {
    command.push_back("--help");
    const ToolResult result = RunTool(command);
    const std::string name = command.size() > 1 ? command[command.size() - 2] : "orvanta";
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_NE(result.out.find("Example"), std::string::npos) << name << ":\n" << result.out;
    EXPECT_NE(result.out.find("orvanta"), std::string::npos) << name;
  }
}

TEST(CommandLine, EveryValueIsNamedByWhatItIsInTheHelpAndTheManualPage) {
  // The argument library's own placeholders say nothing of the value.
  const std::vector<std::string> placeholders = {" TEXT",   " UINT",    " INT", " FLOAT",
                                                 " NUMBER", "REQUIRED", "->"};
  std::vector<std::vector<std::string>> commands = {{"manual-page"}};
  for (const char* command : {"keygen", "sign", "verify", "check-signature", "digest", "package",
                              "run", "demo", "inspect"})
    commands.push_back({command, "--help"});
  for (const char* command : {"create", "show", "set", "fault"})
    commands.push_back({"device", command, "--help"});
  for (const std::vector<std::string>& command : commands) {
    const ToolResult result = RunTool(command);
    ASSERT_EQ(result.status, 0) << command[0];
    for (const std::string& placeholder : placeholders)
      EXPECT_EQ(result.out.find(placeholder), std::string::npos)
          << command[0] << " " << command[1] << " shows" << placeholder << ":\n"
          << result.out;
  }
}

TEST(CommandLine, OneVersionForTheToolAndTheUpdater) {
  const ToolResult result = RunTool({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "orvanta " ORVANTA_VERSION "\n");
}

TEST(CommandLine, NoSubcommandIsOneLineAndStatus2) {
  const ToolResult result = RunTool({});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("orvanta: ", 0), 0u) << result.err;
}

TEST(CommandLine, UnknownOptionIsNamedOnOneLine) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"digest", "--alg", "sha1", "--frobnicate", "x"},
        std::vector<std::string>{"--frobnicate"}, std::vector<std::string>{"-V"}}) {
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(LineCount(result.err), 1) << result.err;
    EXPECT_NE(result.err.find("unknown option " + arguments[arguments.size() > 1 ? 3 : 0]),
              std::string::npos)
        << result.err;
  }
}

TEST(CommandLine, UnknownSubcommandIsNamed) {
  const ToolResult result = RunTool({"flash-everything"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("flash-everything"), std::string::npos) << result.err;
}

TEST(CommandLine, MissingRequiredOptionIsNamed) {
  const ToolResult result = RunTool({"sign", "in", "out"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("--key"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace orvanta_test
