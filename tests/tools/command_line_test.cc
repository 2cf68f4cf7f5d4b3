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

TEST(CommandLine, NoSubcommandIsOneLineAndStatus2) {
  const ToolResult result = RunTool({});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("orvanta: ", 0), 0u) << result.err;
}

TEST(CommandLine, UnknownOptionIsNamedOnOneLine) {
  const ToolResult result = RunTool({"digest", "--alg", "sha1", "--frobnicate", "x"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(LineCount(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("--frobnicate"), std::string::npos) << result.err;
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
