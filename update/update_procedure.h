// The update itself: the worker thread's body.
#pragma once

#include "platform/types.h"
#include "signing/update_dialog_link.h"

class MappedFile;

// Runs the whole update on the worker thread. Either restarts the device and never returns, or
// returns, after which the dialog reports the failure (string 130).
//
// In order: confirmation (string 132), free space (133), external power (129, repeated until
// present or cancelled), the package files (134; also for a package of 4 GiB or more), staging
// "\SD Card\seboot.nb0" as "\SD Card\_seboot.nb0" (134), verifying and compacting the working
// copy, then under CFG_SYN_OBJ and NOR_SYN_OBJ: programming the image from block 0 (after power
// is confirmed once more), closing the working copy, the update request (record 37 = 1 in the
// Semi-Permanent Settings, read back from the flash) and the restart request. Both locks are
// released and every mapped file closed on every way back.
void UpdateProcedure(UpdateDialog* dialog);

// The end of the update, with the verified bootloader image of `imageLength` bytes at `image`:
// takes CFG_SYN_OBJ and NOR_SYN_OBJ together (AcquireSettingsAndFlashMutexes, waiting without
// limit but never for one while holding the other), opens the flash, refuses an image longer
// than BootloaderCapacity(), counts operation 6, makes sure of external power (string 129 until
// present or not answered with OK) and programs the image. Then it closes `workingCopy` (the
// mapped file that holds the image, when given), and when the whole image is in the flash it
// stores the update request and, only once the request reads back from the flash, asks for the
// restart. Nothing is erased when the locks cannot be taken (a wait gives neither WAIT_OBJECT_0
// nor WAIT_ABANDONED) or the flash does not open. Returns only when the device did not restart;
// both locks are released on every way back.
void ProgramAndRestart(UpdateDialog* dialog, const BYTE* image, DWORD imageLength,
                       MappedFile* workingCopy);

// Verifies "\SD Card\sdisk.bc" (key 0), then copies the device variant's "syaffs.bc" to
// "\SD Card\syaffs.bc" and verifies the copy with the variant's key; operations 1 to 3 of the
// dialog. False when a file is missing, a copy or verification fails, or the part number maps
// to no variant. Shows no message.
[[nodiscard]] bool VerifyPackageFiles(UpdateDialog* dialog);
