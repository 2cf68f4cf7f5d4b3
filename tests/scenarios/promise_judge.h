// The updater's promises, judged from outside after every run of a device: the one judge of the
// scenario tests, the power-cut campaign and the swarm.
//
//   P1  Only verified bytes in the flash. Each block of the bootloader region holds what it held
//       before the run, or each of its bytes is erased or the byte of the image that the
//       delivered seboot.nb0 verifies to; one block may lie between those when a power cut or a
//       kill tore the operation it interrupted. Every other block but the Semi-Permanent Settings
//       block and the partition table is unchanged; the table too, unless it did not read before
//       the run (then it is the default table, or on its way there when the run was interrupted).
//   P2  A restart only with the update request (record 37 = 1) readable in a Semi-Permanent
//       block that read before the run, and the whole verified image in the flash from block 0;
//       and whenever a run ends, however it ends, a readable request only with that whole image.
//   P3  Every failure ends with "Failed to complete upgrade." (130) and exit status 1, with the
//       flash lock free; a cancelled prompt ends the run at once; no run hangs; nothing is lost:
//       the package files stay as delivered, the Semi-Permanent block keeps every record but the
//       request, and a block that did not read is never written back.
//   P4  A restart only when the card holds, for the bootloader that carries the update on, a
//       sdisk.bc that verifies with key 0 and a syaffs.bc that verifies with the device's own
//       variant key and equals that variant's delivered image.
//
// Every verification here is OpenSSL's (testsupport/reference_verifier.h), never the system's.
// The one loss allowed is the format's known limit: the Semi-Permanent block has a single copy,
// so a power cut or a kill inside its own erase or write may leave it unreadable. A card file
// that another process rewrote after the updater had verified and closed it is beyond what the
// updater can promise: P4 failing on such files alone is reported as that, not as a break.
// Liveness: a run that the caller knows nothing could stop must end in a restart.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scenario_bench.h"

namespace scenario {

// How one run ended, as the one who ran it saw it.
struct RunEnd {
  RunEnd() = default;
  explicit RunEnd(int exitStatus) : status(exitStatus) {}
  int status = 0;
  bool hung = false;    // still running at the caller's time limit, and then killed
  bool killed = false;  // killed on purpose while it ran (a crash)
  // Card files ("syaffs.bc") another process rewrote or truncated during the run.
  std::vector<std::string> rewrittenByOthers;
};

// Whether anything the caller arranged may stop the run short of a restart.
enum class Liveness { MayStop, MustRestart };

struct Verdict {
  std::vector<std::string> breaks;  // each promise broken, in words; empty when none
  // How the run ended: "restart", "power cut", "killed", "hung", "restart refused",
  // "bad files (134)", "no room (133)", "no power (129)", "cancelled", or "other failure (130)"
  // (a failure whose only message of its own is "Failed to complete upgrade.").
  std::string outcome;
  bool restarted = false;
  bool interrupted = false;  // a power cut or a kill ended it
  // The run lost the Semi-Permanent block inside its own write: the known limit.
  bool knownLimit = false;
  // P4 failed only on card files that another process rewrote after their verification.
  bool rewrittenByOthers = false;
  // The Semi-Permanent block after the run: "as before", "with request", "unreadable" or
  // "changed" (reads, with neither payload).
  std::string semiPermanent;
  std::uint64_t cutOffset = 0;  // a power cut: the flash offset of its last command
  std::string torn;             // a power cut: what it tore ("program", "erase" or empty)
};

class PromiseJudge {
 public:
  // Takes in the device as it stands before its first run: the flash, the five package files as
  // delivered and what they verify to. `variant` is the device's own (0: its part number names
  // none). The bench must outlive the judge.
  PromiseJudge(const Bench& bench, int variant);

  // Judges the run that just ended on the bench against the device as it stood before that run,
  // and takes the device as it stands now as the start of the next run.
  Verdict Judge(const RunEnd& end, Liveness liveness = Liveness::MayStop);

  // Takes the device as it stands now as the start of the next run, after someone changed it
  // on purpose between runs (a technician stored the part number again).
  void Rebase();

 private:
  struct FileState {
    int type = 0;  // std::filesystem::file_type
    std::uint64_t size = 0;
    std::int64_t changed = 0;      // time of last change, in the file clock's ticks
    std::optional<Bytes> content;  // absent past the largest size compared
    bool operator==(const FileState&) const = default;
  };
  static FileState StateOf(const std::filesystem::path& path);

  void CheckEnding(const RunEnd& end, const Transcript& transcript, Verdict& verdict) const;
  void CheckFlash(const Bytes& now, Verdict& verdict) const;
  void CheckSemiPermanent(const Bytes& now, const RunEnd& end, const JournalFacts& journal,
                          Verdict& verdict) const;
  void CheckCard(const RunEnd& end, Verdict& verdict) const;
  bool WholeImage(const Bytes& nor) const;
  std::span<const std::uint8_t> BlockOf(const Bytes& nor, std::uint32_t block) const;

  const Bench& bench_;
  int variant_;
  std::uint32_t firstSettingsBlock_ = 0;
  Bytes before_;
  std::size_t journalLines_ = 0;
  std::vector<FileState> delivered_;
  std::optional<Bytes> verifiedImage_;
};

}  // namespace scenario
