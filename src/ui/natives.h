// The nine native functions the page calls: four that read or store the
// launcher state and five that start a workflow or the close. Each runs on
// the UI thread inside the page's call and returns at once.
#pragma once

#include "ui/engine_host.h"

namespace vantrel {
class TUpdateLogic;
}

namespace vantrel::ui {

// The launcher state the natives use: the one TUpdateLogic of the process,
// set by start-up before the natives are registered.
void SetNativesState(TUpdateLogic* logic);

// Registers the nine in their fixed order (LaunchVersionCheck, LaunchUpdate,
// LaunchRepair, LaunchGame, LangSave, GetAuthAndLangData, GetStatusMessages,
// GetButtonsState, AppClose).
void RegisterNatives(TEngineHost& host);

}  // namespace vantrel::ui
