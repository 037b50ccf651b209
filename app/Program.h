// The program's run: start-up, the main window and the event loop.
#pragma once

#include <functional>

class TForm1;

namespace viewer {

// Runs the viewer: opens closed standard descriptors on the null device,
// takes the locale from the environment, brings up the application object
// and the main window, and runs the event loop until the window closes.
// The command line is not read. shown, when given, runs once the window has
// been shown, before the event loop starts. Returns the program's exit
// status.
int RunProgram(int argc, char** argv, const std::function<void(TForm1& form)>& shown = {});

}  // namespace viewer
