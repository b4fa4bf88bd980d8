#pragma once

namespace talvo {

// Runs the program: the application object without a main window, the start-up gate, the
// assembly, the event loop. Returns the process's exit status.
int processEntry(int argc, char** argv);

}  // namespace talvo
