// The application object: replaces only the framework's start-up step.
#pragma once

#include "platform/dialog_framework.h"

class UpdaterApp : public Application {
 public:
  // Runs the update dialog modally, then reports that start-up did not succeed, so the
  // framework ends the program without a message loop of its own.
  BOOL InitInstance() override;
};
