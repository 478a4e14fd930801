// The monitor program's entry: the application object, the main window and
// its start-up, the message loop.
#pragma once

namespace tov {

// Runs the monitor; the program's exit status. 1 when start-up failed: the
// reason has then been logged and shown.
int TovwatchMain(int argc, char** argv);

}  // namespace tov
