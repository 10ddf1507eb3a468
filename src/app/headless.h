// The headless front end: starts the workflow the command names, as the
// page would, then only watches the launcher's state (status key, progress,
// the close-finished event) until an outcome, and shows it. Runs on the
// main thread; the launcher state must live until the process ends.
#pragma once

#include "app/command_line.h"
#include "app/terminal.h"
#include "app/translations.h"
#include "update/update_logic.h"

namespace vantrel::app {

// Exit status of an outcome (see UsageText).
inline constexpr int kExitReady = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

// How the front end reads a status key: still working, the client ready,
// or an error outcome.
enum class TOutcome { Working, Ready, Error };
TOutcome OutcomeOfStatus(const std::string& key);

// Runs the command and returns the exit status. The state object has loaded
// its data; signals were blocked (by signals) before any thread started.
int RunHeadless(const TCommandLine& cl, TUpdateLogic& logic, const TTranslationTable& table,
                TTerminationSignals& signals);

}  // namespace vantrel::app
