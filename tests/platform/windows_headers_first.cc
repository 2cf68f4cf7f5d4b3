// Device code includes <windows.h> first and writes wide literals as L"...": the system headers
// must compile after it and take such literals (built for the Windows targets only).
#include <windows.h>

#include "app/resources/resource_ids.h"
#include "app/update_dialog.h"
#include "app/updater_app.h"
#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "flash/partition_table.h"
#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "platform/physical_memory.h"
#include "settings/device_variant.h"
#include "settings/ecc_code.h"
#include "settings/settings_block.h"
#include "settings/settings_mutex.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "signing/byte_blob.h"
#include "signing/der_reader.h"
#include "signing/hash_object.h"
#include "signing/image_verifier.h"
#include "signing/key_table.h"
#include "signing/md5.h"
#include "signing/record_observer.h"
#include "signing/rsa_public_operation.h"
#include "signing/sha1.h"
#include "signing/signature_check.h"
#include "signing/update_dialog_link.h"
#include "update/bootloader_programmer.h"
#include "update/card_paths.h"
#include "update/copy_with_progress.h"
#include "update/external_power.h"
#include "update/free_space.h"
#include "update/mapped_file.h"
#include "update/progress_bar.h"
#include "update/update_procedure.h"

static_assert(sizeof(L"\\SD Card"[0]) == sizeof(WCHAR));
static_assert(kCardRoot[0] == L'\\');

bool OpensWideLiterals(MappedFile& file) {
  return file.Open(L"\\SD Card\\sdisk.bc", TRUE) && CardFileSize(L"\\SD Card\\seboot.nb0") != 0;
}

HANDLE CreatesWideNamedMutex() {
  return CreateMutexW(nullptr, FALSE, L"NOR_SYN_OBJ");
}
