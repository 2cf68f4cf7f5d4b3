// Choosing and holding the front end, and the helpers both front ends share.
#include "host/dialog_front_end.h"

#include <unistd.h>

#include <cstdlib>

#include "host/headless_ui.h"
#include "host/terminal_ui.h"

namespace host {
namespace {
std::unique_ptr<FrontEnd>& InstalledFrontEnd() {
  // Never destroyed: the worker may still report while the process exits.
  static auto* frontEnd = new std::unique_ptr<FrontEnd>();
  return *frontEnd;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}
}  // namespace

void InstallFrontEnd(std::unique_ptr<FrontEnd> frontEnd) {
  InstalledFrontEnd() = std::move(frontEnd);
}

FrontEnd* CurrentFrontEnd() {
  return InstalledFrontEnd().get();
}

std::unique_ptr<FrontEnd> CreateFrontEndFromEnvironment(std::string* error) {
  std::string ui = Environment("ORVANTA_UI");
  if (ui.empty()) ui = isatty(STDOUT_FILENO) ? "tui" : "headless";
  if (ui == "headless") {
    return HeadlessUi::Create(Environment("ORVANTA_ANSWERS"), Environment("ORVANTA_TRANSCRIPT"),
                              error);
  }
  if (ui == "tui") {
    // The terminal shows everything; a transcript is written only to a file asked for.
    const std::string transcriptPath = Environment("ORVANTA_TRANSCRIPT");
    if (transcriptPath.empty()) return std::make_unique<TerminalUi>();
    std::unique_ptr<TranscriptWriter> transcript = TranscriptWriter::Open(transcriptPath, error);
    if (!transcript) return nullptr;
    return std::make_unique<TerminalUi>(std::move(transcript));
  }
  if (error != nullptr) *error = "ORVANTA_UI: unknown front end '" + ui + "' (tui or headless)";
  return nullptr;
}

std::optional<sim::AcLine> ReadAcLine() {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  if (!config) return std::nullopt;
  return config.value->acLine;
}

bool SetAcLine(sim::AcLine line, std::string* error) {
  const sim::DevicePaths device = sim::CurrentDevice();
  sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(device);
  if (!config) {
    if (error != nullptr) *error = config.error;
    return false;
  }
  config.value->acLine = line;
  return sim::SaveDeviceConfig(device, *config.value, error);
}

std::string DialogTextToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t index = 0; index < text.size(); ++index) {
    char32_t code = text[index];
    if (code >= 0xD800 && code <= 0xDBFF && index + 1 < text.size() && text[index + 1] >= 0xDC00 &&
        text[index + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[index + 1] - 0xDC00);
      ++index;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // a lone surrogate
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::u16string DialogTextFromUtf8(std::string_view text) {
  std::u16string out;
  std::size_t index = 0;
  while (index < text.size()) {
    const auto byte = static_cast<unsigned char>(text[index]);
    int length = byte < 0x80           ? 1
                 : (byte >> 5) == 0x6  ? 2
                 : (byte >> 4) == 0xE  ? 3
                 : (byte >> 3) == 0x1E ? 4
                                       : 0;
    char32_t code = length == 1   ? byte
                    : length == 2 ? (byte & 0x1F)
                    : length == 3 ? (byte & 0x0F)
                                  : (byte & 0x07);
    bool valid = length > 0 && index + length <= text.size();
    for (int next = 1; valid && next < length; ++next) {
      const auto continuation = static_cast<unsigned char>(text[index + next]);
      if ((continuation & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (continuation & 0x3F);
    }
    if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out += u'\uFFFD';
      ++index;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    index += length;
  }
  return out;
}

}  // namespace host
