// orvanta completion bash: the script it prints, driven in bash the way the shell drives it on
// TAB (COMP_WORDS and COMP_CWORD set, then the completion function called).
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "tests/tools/tool_runner.h"

namespace orvanta_test {
namespace {

class BashCompletion : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    const ToolResult result = RunTool({"completion", "bash"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::ofstream(Path("orvanta.bash")) << result.out;
    std::filesystem::create_directories(Path("cards/SD Card"));
    WriteBytes(Path("card.bin"), {1});
  }

  // What bash offers for `words` (after "orvanta"; the last is the word under the cursor),
  // run in the test's directory; sorted, since file names come in directory order.
  std::vector<std::string> Offered(const std::vector<std::string>& words) {
    std::string command = "cd " + ShellQuote(root_.string()) +
                          " && bash -c 'source orvanta.bash; COMP_WORDS=(orvanta \"$@\"); "
                          "COMP_CWORD=$#; _orvanta; printf \"%s\\n\" \"${COMPREPLY[@]}\"' bash";
    for (const std::string& word : words) command += " " + ShellQuote(word);
    std::vector<std::string> offered;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return offered;
    std::string line;
    for (int character; (character = std::fgetc(pipe)) != EOF;) {
      if (character != '\n') {
        line += static_cast<char>(character);
      } else if (!line.empty()) {
        offered.push_back(line);
        line.clear();
      }
    }
    pclose(pipe);
    std::sort(offered.begin(), offered.end());
    return offered;
  }
};

TEST_F(BashCompletion, OffersWhatTheCommandTakesAtTheCursor) {
  using Words = std::vector<std::string>;
  const struct {
    const char* name;
    Words words;
    Words expected;
  } cases[] = {
      {"subcommands by prefix", {"de"}, {"demo", "device"}},
      {"nested subcommands", {"device", "s"}, {"set", "show"}},
      {"a subcommand's options",
       {"sign", "--"},
       {"--force", "--foreign-key", "--header", "--help", "--json", "--key", "--passin",
        "--record-size", "--slot"}},
      {"a checked option's set",
       {"device", "create", "d", "--timing", ""},
       {"instant", "realistic", "virtual"}},
      {"the set after --option=", {"device", "set", "d", "--power", "=", "of"}, {"offline"}},
      {"a file option", {"verify", "x", "--public-key", "car"}, {"card.bin", "cards"}},
      {"a directory option", {"package", "--card", "car"}, {"cards"}},
      {"a directory positional", {"device", "show", "car"}, {"cards"}},
      {"a file positional after an option's value",
       {"sign", "--key", "k.pem", "card"},
       {"card.bin", "cards"}},
      {"names with spaces", {"package", "--card", "cards/"}, {"cards/SD Card"}},
      {"options once the positionals are given",
       {"device", "show", "d", ""},
       {"--help", "--json", "-h"}},
      {"nothing for a free-text value", {"device", "create", "d", "--part-number", ""}, {}},
  };
  for (const auto& test : cases) EXPECT_EQ(Offered(test.words), test.expected) << test.name;
}

}  // namespace
}  // namespace orvanta_test
