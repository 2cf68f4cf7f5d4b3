// The flash format of one settings partition, and the two operations that move it between the
// first erase block of the partition and a RAM buffer.
//
// Layout from byte 0 of the block (little-endian, no alignment; L = payload length):
//
//   0        4   header magic 0x05E7DA7A
//   4        4   format version 1
//   8        4   payload length L, 0..4096
//   12       3   EccCode of bytes 0..11                          } header, 15 bytes
//   15       L   payload (the settings store always writes 4096)
//   15+L    48   16 slots of 3 bytes: slot k is the EccCode of   } trailer, 52 bytes
//                payload bytes 256k .. min(256k+256, L)-1
//   63+L     4   trailer magic 0xDA7A5E70
//
// The rest of the erase block stays erased. Slots beyond the last chunk are written as 0xFF and
// never read. The trailer magic is programmed last, so a write cut short after the erase leaves
// a block that every later read rejects. A block whose trailer magic is not intact is never
// read, whatever its chunk codes say: a partial erase sets bits back to 1 anywhere in the
// block, and four such bits can turn a chunk and its Hamming code into another consistent pair.
#pragma once

#include "platform/types.h"
#include "settings/ecc_code.h"

inline constexpr DWORD kSettingsBlockMagic = 0x05E7DA7Au;
inline constexpr DWORD kSettingsBlockVersion = 1;
inline constexpr DWORD kSettingsTrailerMagic = 0xDA7A5E70u;

inline constexpr DWORD kSettingsChunkSize = kEccMaxDataLength;
inline constexpr DWORD kSettingsChunkCount = 16;
// The largest payload: one code slot per 256-byte chunk.
inline constexpr DWORD kSettingsPayloadCapacity = kSettingsChunkSize * kSettingsChunkCount;
inline constexpr DWORD kSettingsHeaderFieldsSize = 12;  // magic, version, length
inline constexpr DWORD kSettingsHeaderSize = kSettingsHeaderFieldsSize + kEccCodeSize;
inline constexpr DWORD kSettingsTrailerCodesSize = kSettingsChunkCount * kEccCodeSize;
inline constexpr DWORD kSettingsTrailerSize = kSettingsTrailerCodesSize + 4;
// Bytes a block uses beyond its payload.
inline constexpr DWORD kSettingsBlockOverhead = kSettingsHeaderSize + kSettingsTrailerSize;

static_assert(kSettingsPayloadCapacity == 4096);
static_assert(kSettingsHeaderSize == 15);
static_assert(kSettingsTrailerSize == 52);
static_assert(kSettingsBlockOverhead == 67);

// Where a read stopped (kNone for a block that read).
enum class SettingsReadStop : BYTE {
  kNone,
  kBlockTooSmall,  // the block cannot hold a header
  kHeaderCode,     // the header code is uncorrectable
  kMagic,          // value: the header magic
  kVersion,        // value: the format version
  kLength,         // value: the payload length (above the capacity, 4096 or the block)
  kTrailerMagic,   // the trailer magic is not intact: a write or an erase was cut short
  kChunkCode,      // value: the index of the first uncorrectable chunk
};

// What SettingsBlock::Decode found; SettingsBlock::Read reports only whether the block read.
struct SettingsBlockDecoding {
  SettingsReadStop stop;
  DWORD value;          // the field or chunk index that `stop` names, 0 otherwise
  DWORD correctedBits;  // single-bit errors repaired in the header copy and the buffer
  [[nodiscard]] bool Read() const { return stop == SettingsReadStop::kNone; }
};

class SettingsBlock {
 public:
  // Decodes the settings block held in the `blockSize` bytes at `block` (a mapped flash block
  // or a copy of one) into `buffer` exactly as Read does, leaving the same buffer contents on
  // every path, and tells how it ended and why. `buffer` and a capacity above 0 are required.
  // Touches nothing but `buffer`; takes no mutex.
  [[nodiscard]] static SettingsBlockDecoding Decode(const BYTE* block, DWORD blockSize,
                                                    BYTE* buffer, DWORD capacity);

  // Copies the settings block stored in flash block `block` into `buffer` (capacity bytes),
  // correcting single-bit errors in the buffer and in local copies of header and trailer; the
  // flash itself is never rewritten. On success the buffer holds the payload in its first L
  // bytes and 0xFF after it. Returns false when the buffer is null or capacity is 0 (buffer
  // untouched, no flash access), or when the block does not read as a valid block; the buffer
  // then holds, by where the read stopped:
  //   header code uncorrectable, wrong magic or version,
  //   L > capacity or L > 4096            all 0xFF (an erased block ends here)
  //   wrong trailer magic                 the payload as read, uncorrected; 0xFF after it
  //   an uncorrectable chunk code         earlier chunks corrected, the failing chunk and
  //                                       later ones as read; 0xFF after the payload
  // Holds NOR_SYN_OBJ (NorFlashMutex) for its whole duration; the flash driver must be open.
  [[nodiscard]] static bool Read(DWORD block, BYTE* buffer, DWORD capacity);

  // Erases flash block `block` and stores a settings block holding the `length` bytes at
  // `payload`. An empty payload (length 0, payload still non-null) makes a valid empty block:
  // header, 48 bytes 0xFF, trailer magic at offset 63. Refuses, with false and nothing erased,
  // a null payload, a length above 4096, and a block smaller than 67 + length bytes (also a
  // block number past the end of the flash). Otherwise returns true when the erase and the
  // three programming steps (header, payload, trailer) all succeeded; on false the block is
  // erased or partly programmed and reads back as invalid. Holds NOR_SYN_OBJ for its whole
  // duration; the flash driver must be open.
  [[nodiscard]] static bool Write(DWORD block, const BYTE* payload, DWORD length);
};
