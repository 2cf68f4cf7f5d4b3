// The front end of a run on the simulated device (internal to windows/handheld).
#pragma once

namespace windows {

// The device restarts now: a headless run writes it to its transcript.
void RecordRestart();

}  // namespace windows
