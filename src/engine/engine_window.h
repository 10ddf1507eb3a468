// The engine's window: one GTK window with a WebKit view, the res: scheme
// routed to the host's callback, the page's native functions and engine
// functions, calls into the page and the test hooks. Everything here runs
// on the UI thread.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_api.h"

// The window's script VM: its native functions, in registration order. The
// VM belongs to its window.
struct VEngineVM {
  struct TNative {
    std::string name;
    VEngineNativeFunction handler = nullptr;
    void* tag = nullptr;
    VEngineWindow* window = nullptr;
  };
  VEngineWindow* window = nullptr;
  std::vector<std::unique_ptr<TNative>> natives;
  // The error text raised by the native function that runs now.
  std::optional<std::string> pendingerror;
};

// A window and what the engine keeps for it. Owned by the engine: it lives
// until the process ends (the GTK window may be destroyed before).
struct VEngineWindow {
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* content = nullptr;
  VEngineVM vm;
  VEngineCallback callback = nullptr;
  void* param = nullptr;
  bool destroyed = false;
  GMainLoop* loop = nullptr;

  // The load request being notified to the host now.
  WebKitURISchemeRequest* pendingrequest = nullptr;
  std::string pendinguri;
  bool pendinganswered = false;

  // The page's URL; the one navigation the view ever makes.
  std::string pageurl;
  bool pagenavigated = false;
  int pagereloads = 0;  // loads of the page after its web process ended
  int exitcode = 0;     // RunLoop's result: 1 when the page could not be kept

  std::string launcherdataurl;
  void (*linkopener)(const char* uri, void* data) = nullptr;
  void* linkopenerdata = nullptr;

  // The last button press on the view while its button is down.
  GdkEvent* lastpress = nullptr;
};

namespace vantrel::engine {

int Init(char* error, size_t errorsize);
int SetOption(VEngineWindow* window, uint32_t option, intptr_t value);
VEngineWindow* CreateEngineWindow(const char* title, char* error, size_t errorsize);
void ShowEngineWindow(VEngineWindow* window);
int RunLoop(VEngineWindow* window);
void Post(VEngineTask task, void* data);
void ShowMessageBox(const char* caption, const char* text);
void SetCallback(VEngineWindow* window, VEngineCallback callback, void* param);
int LoadFile(VEngineWindow* window, const char* url);
int DataReady(VEngineWindow* window, const char* uri, const uint8_t* data, size_t size);
int Call(VEngineWindow* window, const char* name, uint32_t argc, const VEngineValue* argv,
         VEngineValue* result);
VEngineVM* GetVM(VEngineWindow* window);
const VEngineScriptApi* ScriptApi();
void SetLauncherDataUrl(VEngineWindow* window, const char* url);
void SetLinkOpener(VEngineWindow* window, void (*opener)(const char* uri, void* data), void* data);
void TestEvaluate(VEngineWindow* window, const char* body, VEngineHookReply reply, void* data);
void TestSnapshot(VEngineWindow* window, const char* path, VEngineHookReply reply, void* data);
void TestDescribe(VEngineWindow* window, VEngineHookReply reply, void* data);

// The content type served for a res: name, by its extension.
const char* ContentTypeFor(const std::string& uri);

}  // namespace vantrel::engine
