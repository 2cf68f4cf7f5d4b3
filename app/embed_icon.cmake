# Writes the icon file ICON as a C++ byte array into OUTPUT (run at build time).
file(READ "${ICON}" bytes HEX)
string(LENGTH "${bytes}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from app/resources/updater_icon.ico; do not edit.\n"
  "#include \"app/resources.h\"\n\n"
  "const BYTE kApplicationIconData[] = {\n    ${bytes}\n};\n"
  "const DWORD kApplicationIconSize = ${size};\n")
