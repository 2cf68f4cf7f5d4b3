// The fault plan of a device (device.json "faults"): chosen flash operations that fail, a power
// cut, bits flipped at rest, a refused restart. Each entry names its kind and where it strikes;
// FaultPlan answers for one erase or program which entry strikes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct DevicePaths;

enum class FaultKind {
  EraseError,     // erase of `block` ends with the erase-error bit
  ProgramError,   // a word program in `block` (at `word`, a word index inside the block, when
                  // given) ends with the program-error bit
  NeverReady,     // an erase or program of `block` never reports ready
  VppError,       // every erase and program ends with the programming-voltage error bit
  PowerCutAfter,  // the process ends, as on a power loss, after `count` flash commands; the
                  // operation it interrupts is torn, in a pattern drawn from `seed`
  FlipBit,        // bit `bit` of byte `offset` of nor.bin flipped at rest (applied at once)
  RestartFails,   // the restart request is refused: KernelIoControl returns FALSE
};

// The kind as device.json and the journal spell it ("erase_error", "power_cut_after" ...).
const char* FaultName(FaultKind kind);

// One entry of the plan. The named constructors are the way to make one:
//   Fault::EraseError(3), Fault::ProgramError(5, 100), Fault::PowerCutAfter(40) ...
struct Fault {
  FaultKind kind = FaultKind::EraseError;
  std::uint32_t block = 0;
  std::optional<std::uint32_t> word = std::nullopt;
  std::uint64_t count = 0;
  std::uint64_t offset = 0;
  std::uint32_t bit = 0;
  std::optional<std::uint64_t> seed = std::nullopt;  // power cut: default the count
  bool operator==(const Fault&) const = default;

  static Fault EraseError(std::uint32_t block);
  static Fault ProgramError(std::uint32_t block, std::optional<std::uint32_t> word = std::nullopt);
  static Fault NeverReady(std::uint32_t block);
  static Fault VppError();
  static Fault PowerCutAfter(std::uint64_t count, std::optional<std::uint64_t> seed = std::nullopt);
  static Fault FlipBit(std::uint64_t offset, std::uint32_t bit);
  static Fault RestartFails();
};

// The two operations that change the array, and that faults strike.
enum class ChipOperation { Program, Erase };

// The plan as the chip consults it.
class FaultPlan {
 public:
  FaultPlan() = default;
  explicit FaultPlan(std::vector<Fault> faults) : faults_(std::move(faults)) {}

  // The entry that strikes an erase of `block`, or a program of word `word` in it: a
  // programming-voltage error wherever it stands in the plan, else the first never_ready of the
  // block, or erase_error (erase) or program_error of the block and word (program). Null when
  // none does; the plan is usually empty, and then nothing is searched.
  const Fault* Striking(ChipOperation operation, std::uint32_t block,
                        std::optional<std::uint32_t> word) const {
    return faults_.empty() ? nullptr : Search(operation, block, word);
  }
  // The power cut the plan holds: the entry with the lowest count, or null.
  const Fault* FirstPowerCut() const;
  const std::vector<Fault>& Entries() const { return faults_; }

 private:
  const Fault* Search(ChipOperation operation, std::uint32_t block,
                      std::optional<std::uint32_t> word) const;
  std::vector<Fault> faults_;
};

// Flips bit `bit` (0..7) of byte `offset` of DIR/nor.bin, as a bit that changed at rest. False
// with a one-line reason naming the file when the offset is past the end or the file fails.
bool FlipBit(const DevicePaths& device, std::uint64_t offset, std::uint32_t bit,
             std::string* error);

}  // namespace sim
