// What the conformance suite's card does the same way on every target.
#include <fstream>
#include <sstream>

#include "conformance.h"

namespace conformance {

Text Widen(std::string_view ascii) {
  return Text(ascii.begin(), ascii.end());
}

std::filesystem::path Card::HostPath(const std::string& name) const {
  return root_ / name;
}

void Card::Write(const std::string& name, const Bytes& content) const {
  std::ofstream stream(HostPath(name), std::ios::binary | std::ios::trunc);
  stream << content;
}

Bytes Card::Read(const std::string& name) const {
  std::ifstream stream(HostPath(name), std::ios::binary);
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

void Card::MakeReadOnly(const std::string& name) const {
  using std::filesystem::perms;
  std::filesystem::permissions(HostPath(name),
                               perms::owner_write | perms::group_write | perms::others_write,
                               std::filesystem::perm_options::remove);
}

}  // namespace conformance
