// The window front end: start-up of the launcher's window (engine library
// on disk, launcher state, engine options, window, host object, natives,
// page), the main loop and the end of the process.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "engine/engine_api.h"
#include "ui/engine_host.h"

namespace vantrel::app {

// What a test build of the launcher adds to the window; a release build
// passes none.
struct TWindowHooks {
  // Where the host's reports go instead of the message box.
  ui::TReporter reporter;
  // Where http(s) links the user clicks go instead of the system's browser.
  void (*linkopener)(const char* uri, void* data) = nullptr;
  // Called once the page is loading, on the UI thread.
  std::function<void(VEngineWindow* window, ui::TEngineHost& host)> started;
};

// Writes the engine library (resource "ENGINETYPE"/"ENGINE") to path unless
// a file of the same size is there (sizes alone are compared). Raises when
// the resource is missing or the file cannot be written.
void WriteEngineLibrary(const std::string& path);

// Runs the window to its end and returns the exit code: 0 once the window
// is gone, 1 after an error of start-up (shown in the error box). argv as
// main got it; cl already parsed.
int RunWindow(const std::string& program, int argc, char** argv, const TCommandLine& cl,
              const TWindowHooks* hooks);

}  // namespace vantrel::app
