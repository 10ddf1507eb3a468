// The engine functions the page reaches through its frozen Engine object:
// the monitor's work area, moving, resizing, minimising and closing the
// window, a move-drag with the last button press, and the launcher data
// fetched from the service's endpoint. Runs on the UI thread; the fetch
// runs on a thread of its own and answers on the UI thread.
#pragma once

#include <webkit2/webkit2.h>

namespace vantrel::engine {

// The script message handler behind Engine; not an identifier, so no
// native function can take its name.
inline constexpr const char* kEngineHandler = "vantrel-engine";

// Once per process, on the UI thread, before the first fetch.
void StartEngineFunctions();

// Handler of kEngineHandler; data is the VEngineWindow.
gboolean OnEngineMessage(WebKitUserContentManager* content, JSCValue* message,
                         WebKitScriptMessageReply* reply, gpointer data);

}  // namespace vantrel::engine
