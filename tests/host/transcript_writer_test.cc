// The transcript as the file holds it, on every platform that writes one: each event one line
// ended by a line feed alone, a progress line only when the position moves, a static's text as
// the warning or the counter, and nothing after the first exit.
#include "host/dialog_framework/transcript_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "testsupport/files.h"

namespace host {
namespace {

TEST(TranscriptWriterTest, WritesEachEventAsOneLineFeedEndedLine) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("transcript-writer-test-" + std::to_string(std::random_device{}()) + ".jsonl");
  {
    std::string error;
    std::unique_ptr<TranscriptWriter> transcript = TranscriptWriter::Open(path.string(), &error);
    ASSERT_TRUE(transcript) << error;
    transcript->DialogShown(u"OrvantaUpdate", 1002, u"Do not turn off", 0);
    transcript->TextChanged(1001, u"Operation 1 of 6:");
    transcript->PositionChanged(37);
    transcript->PositionChanged(37);
    transcript->TextChanged(1002, u"W\u00e4rning");
    transcript->MessageAnswered(130, u"Failed to complete upgrade.", MB_OK, IDOK);
    transcript->Exiting(1);
    transcript->Restarting();
  }
  const testsupport::Bytes bytes = testsupport::ReadFile(path);
  std::filesystem::remove(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "{\"event\":\"dialog\",\"title\":\"OrvantaUpdate\",\"warning\":\"Do not turn off\"}\n"
            "{\"event\":\"counter\",\"text\":\"Operation 1 of 6:\"}\n"
            "{\"event\":\"progress\",\"position\":37}\n"
            "{\"event\":\"warning\",\"text\":\"W\xc3\xa4rning\"}\n"
            "{\"event\":\"message\",\"id\":130,\"text\":\"Failed to complete upgrade.\",\"type\":0,"
            "\"answer\":1}\n"
            "{\"event\":\"exit\",\"status\":1}\n");
}

}  // namespace
}  // namespace host
