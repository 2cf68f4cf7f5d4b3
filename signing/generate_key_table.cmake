# Writes the KeyTable source from key0.der .. key3.der of KEY_DIR into OUTPUT.
#   cmake -DKEY_DIR=<dir> -DOUTPUT=<file> -P generate_key_table.cmake
# Each file must be the 162-byte DER SubjectPublicKeyInfo of an RSA-1024 key with exponent
# 65537: the fixed encoding below, with the 128 modulus octets (top bit set) in the middle.
if(NOT DEFINED KEY_DIR OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "generate_key_table.cmake needs KEY_DIR and OUTPUT")
endif()

# SEQUENCE { SEQUENCE { rsaEncryption, NULL }, BIT STRING { SEQUENCE { INTEGER 00 <128>,
string(CONCAT head "30819f300d06092a864886f70d010101050003818d0030818902818100")
# INTEGER 65537 } } }
set(tail "0203010001")

set(entries "")
foreach(index RANGE 0 3)
  set(file "${KEY_DIR}/key${index}.der")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "key file ${file} is missing (the key directory needs key0.der .. key3.der)")
  endif()
  file(SIZE "${file}" size)
  file(READ "${file}" hex HEX)
  string(LENGTH "${head}" headLength)
  string(SUBSTRING "${hex}" 0 ${headLength} actualHead)
  set(valid FALSE)
  if(size EQUAL 162)
    string(SUBSTRING "${hex}" 314 10 actualTail)
    string(SUBSTRING "${hex}" ${headLength} 1 topDigit)
    if(actualHead STREQUAL head AND actualTail STREQUAL tail AND topDigit MATCHES "[89a-f]")
      set(valid TRUE)
    endif()
  endif()
  if(NOT valid)
    message(FATAL_ERROR "key file ${file} is not a 162-byte DER SubjectPublicKeyInfo of an "
                        "RSA-1024 key with exponent 65537 (it has ${size} bytes)")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n     " bytes "${bytes}")
  string(APPEND entries "    // key${index}.der\n    {${bytes}},\n")
endforeach()

file(WRITE "${OUTPUT}.tmp"
"// Generated from ${KEY_DIR} by signing/generate_key_table.cmake; do not edit.
#include \"signing/key_table.h\"

const BYTE KeyTable[KeyCount][BuiltInKeySize] = {
${entries}};

const DWORD KeyTableLengths[KeyCount] = {BuiltInKeySize, BuiltInKeySize, BuiltInKeySize,
                                         BuiltInKeySize};
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
