#include "app/updater_app.h"

#include "app/update_dialog.h"

// The program's one application object.
UpdaterApp updaterApp;

BOOL UpdaterApp::InitInstance() {
  InitializeShellControls();
  SetRegistryKey(TEXT("Local AppWizard-Generated Applications"));

  UpdateDialog dialog;
  mainWindow = &dialog;
  dialog.DoModal();
  mainWindow = nullptr;
  return FALSE;
}
