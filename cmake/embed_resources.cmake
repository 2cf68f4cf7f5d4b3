# Writes the compiled resources INPUT (a .res file) as the C++ source OUTPUT that defines the
# program's resource bytes for the host's loader (run at build time by cmake/resources.cmake).
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "// Generated from ${name}; do not edit.\n"
  "#include <cstddef>\n\n"
  "namespace host {\n\n"
  "extern const unsigned char kProgramResources[];\n"
  "extern const std::size_t kProgramResourcesSize;\n\n"
  "alignas(4) const unsigned char kProgramResources[] = {\n    ${bytes}\n};\n"
  "const std::size_t kProgramResourcesSize = ${size};\n\n"
  "}  // namespace host\n")
