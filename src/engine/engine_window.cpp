#include "engine/engine_window.h"

#include <cairo.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "engine/engine_functions.h"
#include "engine/engine_jsc.h"
#include "engine/engine_values.h"

namespace vantrel::engine {

namespace {

constexpr const char* kWindowKey = "vantrel-engine-window";

// Process-wide engine state, set on the UI thread before the first window.
struct TEngineProcess {
  bool initialised = false;
  bool schemeregistered = false;
  int gfxlayer = -1;  // -1: the engine's own choice
};
TEngineProcess& Process() {
  static TEngineProcess process;
  return process;
}

void CopyError(char* error, size_t errorsize, const std::string& text) {
  if (error == nullptr || errorsize == 0) return;
  std::snprintf(error, errorsize, "%s", text.c_str());
}

VEngineWindow* WindowOfView(WebKitWebView* view) {
  if (view == nullptr) return nullptr;
  return static_cast<VEngineWindow*>(g_object_get_data(G_OBJECT(view), kWindowKey));
}

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  return g_ascii_strncasecmp(s.c_str() + s.size() - n, suffix, n) == 0;
}

// Frames and objects are never part of the page; server-provided markup
// inside it cannot make one.
void FinishWithBytes(WebKitURISchemeRequest* request, const std::string& uri, GBytes* bytes,
                     int status) {
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(g_bytes_get_size(bytes)));
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status),
                                        status == 200 ? "OK" : "Not Found");
  webkit_uri_scheme_response_set_content_type(response, ContentTypeFor(uri));
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_append(headers, "Content-Type", ContentTypeFor(uri));
  soup_message_headers_append(headers, "Content-Security-Policy",
                              "frame-src 'none'; child-src 'none'; object-src 'none'; "
                              "base-uri 'none'; form-action 'none'");
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

void OnResRequest(WebKitURISchemeRequest* request, gpointer) {
  const std::string uri = webkit_uri_scheme_request_get_uri(request);
  VEngineWindow* w = WindowOfView(webkit_uri_scheme_request_get_web_view(request));
  if (w != nullptr && w->callback != nullptr && w->pendingrequest == nullptr) {
    w->pendingrequest = request;
    w->pendinguri = uri;
    w->pendinganswered = false;
    VEngineNotification n{VENGINE_LOAD_DATA, w, uri.c_str()};
    w->callback(&n, w->param);
    const bool answered = w->pendinganswered;
    w->pendingrequest = nullptr;
    w->pendinguri.clear();
    if (answered) return;
  }
  GBytes* empty = g_bytes_new(nullptr, 0);
  FinishWithBytes(request, uri, empty, 404);
  g_bytes_unref(empty);
}

// The script that gives the page its natives and the Engine object, run at
// the start of every document of the top frame.
std::string PageScript(const VEngineVM& vm) {
  std::string names = "[";
  for (size_t i = 0; i < vm.natives.size(); ++i) {
    if (i) names += ',';
    names += '"' + vm.natives[i]->name + '"';
  }
  names += ']';
  return "(() => {\n"
         "  'use strict';\n"
         "  const handlers = window.webkit.messageHandlers;\n"
         "  const define = (name, value) => Object.defineProperty(globalThis, name,\n"
         "      {value, writable: false, enumerable: false, configurable: false});\n"
         "  for (const name of " + names + ") {\n"
         "    const handler = handlers[name];\n"
         "    define(name, (...args) => handler.postMessage(args));\n"
         "  }\n"
         "  const engine = handlers['" + std::string(kEngineHandler) + "'];\n"
         "  const call = (...args) => engine.postMessage(args);\n"
         "  define('Engine', Object.freeze({\n"
         "    workArea: () => call('workArea'),\n"
         "    moveWindow: (x, y) => call('moveWindow', x, y),\n"
         "    resizeWindow: (width, height) => call('resizeWindow', width, height),\n"
         "    minimizeWindow: () => call('minimizeWindow'),\n"
         "    closeWindow: () => call('closeWindow'),\n"
         "    beginDrag: () => call('beginDrag'),\n"
         "    launcherData: (lang) => call('launcherData', lang),\n"
         "  }));\n"
         "})();\n";
}

void InstallPageScript(VEngineWindow* w) {
  webkit_user_content_manager_remove_all_scripts(w->content);
  const std::string source = PageScript(w->vm);
  WebKitUserScript* script = webkit_user_script_new(
      source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(w->content, script);
  webkit_user_script_unref(script);
}

gboolean OnNativeMessage(WebKitUserContentManager*, JSCValue* message,
                         WebKitScriptMessageReply* reply, gpointer data) {
  auto* native = static_cast<VEngineVM::TNative*>(data);
  VEngineWindow* w = native->window;
  VEngineValue args;
  ValueInit(&args);
  JscToValue(message, &args);
  int32_t argc = 0;
  if (args.t != VT_ARRAY) {
    ValueClear(&args);
    ValueMakeEmpty(&args, VT_ARRAY);
  }
  ValueElementsCount(&args, &argc);
  std::vector<VEngineValue> argv(static_cast<size_t>(argc));
  for (int32_t i = 0; i < argc; ++i) {
    ValueInit(&argv[static_cast<size_t>(i)]);
    ValueNthElementValue(&args, i, &argv[static_cast<size_t>(i)]);
  }
  ValueClear(&args);
  VEngineValue result;
  ValueInit(&result);
  w->vm.pendingerror.reset();
  native->handler(&w->vm, static_cast<uint32_t>(argc), argv.data(), &result, native->tag);
  for (auto& a : argv) ValueClear(&a);
  if (w->vm.pendingerror) {
    webkit_script_message_reply_return_error_message(reply, w->vm.pendingerror->c_str());
    w->vm.pendingerror.reset();
  } else {
    JSCValue* value = ValueToJsc(jsc_value_get_context(message), result);
    webkit_script_message_reply_return_value(reply, value);
    g_object_unref(value);
  }
  ValueClear(&result);
  return TRUE;
}

bool IsHttpUri(const char* uri) {
  return g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://");
}

void OpenExternally(VEngineWindow* w, const char* uri) {
  if (w->linkopener != nullptr) {
    w->linkopener(uri, w->linkopenerdata);
    return;
  }
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(uri, nullptr, &error)) {
    std::fprintf(stderr, "Cannot open %s: %s\n", uri, error ? error->message : "unknown error");
    g_clear_error(&error);
  }
}

// The view navigates once, to the page. A link the user clicks that leads
// to http(s) opens in the system's browser; every other navigation, of the
// page or of any frame, is ignored.
gboolean OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer) {
  VEngineWindow* w = WindowOfView(view);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && w != nullptr && !w->pagenavigated &&
      uri != nullptr && w->pageurl == uri) {
    w->pagenavigated = true;
    webkit_policy_decision_use(decision);
    return TRUE;
  }
  const WebKitNavigationType navtype = webkit_navigation_action_get_navigation_type(action);
  if (w != nullptr && uri != nullptr && navtype == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
      webkit_navigation_action_is_user_gesture(action) && IsHttpUri(uri)) {
    OpenExternally(w, uri);
  }
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

GtkWidget* OnCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

// Loads of the page after its web process ended, in the life of a window.
constexpr int kMaxPageReloads = 3;

// The window goes from the main loop, never from inside one of its view's
// signals (the view would be finalised under its own emission).
gboolean DestroyWindowLater(gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  if (!w->destroyed) gtk_widget_destroy(w->window);
  return G_SOURCE_REMOVE;
}

// The web process ended (crashed, killed, out of memory): the page and its
// close button are gone with it. The page is loaded again in a new process a
// few times; a page that keeps dying closes the window, so the close
// sequence runs and the run ends with a failure instead of a dead window.
void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                            gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  if (w->destroyed || w->pageurl.empty() || reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;
  if (w->pagereloads >= kMaxPageReloads) {
    std::fprintf(stderr, "The page's web process ended %d times; the window closes.\n",
                 w->pagereloads + 1);
    w->exitcode = 1;
    g_idle_add(DestroyWindowLater, w);
    return;
  }
  ++w->pagereloads;
  std::fprintf(stderr, "The page's web process ended; the page is loaded again.\n");
  w->pagenavigated = false;
  webkit_web_view_load_uri(w->view, w->pageurl.c_str());
}

void OnTitle(WebKitWebView* view, GParamSpec*, gpointer) {
  VEngineWindow* w = WindowOfView(view);
  const char* title = webkit_web_view_get_title(view);
  if (w != nullptr && !w->destroyed) gtk_window_set_title(GTK_WINDOW(w->window), title ? title : "");
}

gboolean OnButtonPress(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  if (w->lastpress != nullptr) gdk_event_free(w->lastpress);
  w->lastpress = gdk_event_copy(reinterpret_cast<GdkEvent*>(event));
  return FALSE;
}

gboolean OnButtonRelease(GtkWidget*, GdkEventButton*, gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  if (w->lastpress != nullptr) gdk_event_free(w->lastpress);
  w->lastpress = nullptr;
  return FALSE;
}

void OnDestroy(GtkWidget*, gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  w->destroyed = true;
  if (w->lastpress != nullptr) gdk_event_free(w->lastpress);
  w->lastpress = nullptr;
  if (w->loop != nullptr) g_main_loop_quit(w->loop);
}

WebKitHardwareAccelerationPolicy AccelerationFor(int gfxlayer) {
  // Layers 1 and 2 are the software renderers, 3 and up the hardware ones;
  // the engine's own choice is software, which needs the least memory.
  return gfxlayer >= 3 ? WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS
                       : WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER;
}

// --- Synchronous calls into the page ---------------------------------------

struct TCallState {
  bool done = false;
  bool ok = false;
  JSCValue* result = nullptr;
  ~TCallState() {
    if (result) g_object_unref(result);
  }
};

void OnCallFinished(GObject* source, GAsyncResult* res, gpointer data) {
  auto* state = static_cast<std::shared_ptr<TCallState>*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                          res, &error);
  (*state)->done = true;
  (*state)->ok = value != nullptr;
  (*state)->result = value;
  g_clear_error(&error);
  delete state;
}

gboolean OnCallTimeout(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

// --- Test hooks ------------------------------------------------------------

struct THook {
  VEngineHookReply reply;
  void* data;
  std::string path;
};

void OnHookEvaluated(GObject* source, GAsyncResult* res, gpointer data) {
  std::unique_ptr<THook> hook(static_cast<THook*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                          res, &error);
  if (value == nullptr) {
    hook->reply(nullptr, error ? error->message : "failed", hook->data);
    g_clear_error(&error);
    return;
  }
  char* json = jsc_value_to_json(value, 0);
  hook->reply(json ? json : "null", nullptr, hook->data);
  g_free(json);
  g_object_unref(value);
}

void OnHookSnapshot(GObject* source, GAsyncResult* res, gpointer data) {
  std::unique_ptr<THook> hook(static_cast<THook*>(data));
  GError* error = nullptr;
  cairo_surface_t* surface =
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), res, &error);
  if (surface == nullptr) {
    hook->reply(nullptr, error ? error->message : "failed", hook->data);
    g_clear_error(&error);
    return;
  }
  const cairo_status_t status = cairo_surface_write_to_png(surface, hook->path.c_str());
  const std::string json = "{\"width\":" + std::to_string(cairo_image_surface_get_width(surface)) +
                           ",\"height\":" +
                           std::to_string(cairo_image_surface_get_height(surface)) + "}";
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    hook->reply(nullptr, cairo_status_to_string(status), hook->data);
  } else {
    hook->reply(json.c_str(), nullptr, hook->data);
  }
}

// --- The VM ------------------------------------------------------------------

bool IsIdentifier(const char* name) {
  if (name == nullptr || *name == 0) return false;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && p != name)) return false;
  }
  return true;
}

// Names the page's global scope always holds: the engine functions and the
// script's own globals that a native must never replace.
bool IsEngineName(const char* name) {
  static const char* const kNames[] = {"Engine", "window", "document", "globalThis", "self",
                                       "webkit", "Object", "Function", "Array", "Promise",
                                       "JSON", "Error", "eval", "undefined", "NaN", "Infinity"};
  for (const char* n : kNames) {
    if (std::strcmp(n, name) == 0) return true;
  }
  return false;
}

VEngineVM::TNative* FindNative(VEngineVM* vm, const char* name) {
  for (auto& n : vm->natives) {
    if (n->name == name) return n.get();
  }
  return nullptr;
}

int VmNameExists(VEngineVM* vm, const char* name) {
  if (vm == nullptr || name == nullptr) return 0;
  return FindNative(vm, name) != nullptr || IsEngineName(name);
}

int VmIsNativeFunction(VEngineVM* vm, const char* name) {
  return vm != nullptr && name != nullptr && FindNative(vm, name) != nullptr;
}

int VmRegisterNative(VEngineVM* vm, const char* name, VEngineNativeFunction handler, void* tag) {
  if (vm == nullptr || handler == nullptr || !IsIdentifier(name) || VmNameExists(vm, name)) {
    return 0;
  }
  VEngineWindow* w = vm->window;
  auto native = std::make_unique<VEngineVM::TNative>();
  native->name = name;
  native->handler = handler;
  native->tag = tag;
  native->window = w;
  if (!webkit_user_content_manager_register_script_message_handler_with_reply(w->content, name,
                                                                              nullptr)) {
    return 0;
  }
  const std::string signal = std::string("script-message-with-reply-received::") + name;
  g_signal_connect(w->content, signal.c_str(), G_CALLBACK(OnNativeMessage), native.get());
  vm->natives.push_back(std::move(native));
  InstallPageScript(w);
  return 1;
}

void VmThrowError(VEngineVM* vm, const char* message) {
  if (vm != nullptr) vm->pendingerror = message ? message : "";
}

const VEngineScriptApi kScriptApi = {VmNameExists, VmIsNativeFunction, VmRegisterNative,
                                     VmThrowError};

}  // namespace

const char* ContentTypeFor(const std::string& uri) {
  struct TType {
    const char* ext;
    const char* type;
  };
  static const TType kTypes[] = {
      {".htm", "text/html"},          {".html", "text/html"},       {".tis", "text/javascript"},
      {".js", "text/javascript"},     {".mjs", "text/javascript"},  {".css", "text/css"},
      {".png", "image/png"},          {".jpg", "image/jpeg"},       {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},          {".svg", "image/svg+xml"},    {".ico", "image/x-icon"},
      {".webp", "image/webp"},        {".ttf", "font/ttf"},         {".otf", "font/otf"},
      {".woff", "font/woff"},         {".woff2", "font/woff2"},     {".json", "application/json"},
      {".txt", "text/plain"},
  };
  for (const TType& t : kTypes) {
    if (EndsWith(uri, t.ext)) return t.type;
  }
  return "application/octet-stream";
}

int Init(char* error, size_t errorsize) {
  TEngineProcess& p = Process();
  if (p.initialised) return 1;
  if (!gtk_init_check(nullptr, nullptr)) {
    CopyError(error, errorsize, "Cannot open the display.");
    return 0;
  }
  p.initialised = true;
  StartEngineFunctions();
  return 1;
}

int SetOption(VEngineWindow* window, uint32_t option, intptr_t value) {
  switch (option) {
    case VENGINE_SET_SCRIPT_RUNTIME_FEATURES:
      return 1;
    case VENGINE_SET_GFX_LAYER:
      if (window != nullptr) return 0;
      Process().gfxlayer = static_cast<int>(value);
      return 1;
    case VENGINE_ALPHA_WINDOW: {
      if (window == nullptr || window->destroyed) return 0;
      if (value == 0) return 1;
      GdkScreen* screen = gtk_widget_get_screen(window->window);
      GdkVisual* visual = gdk_screen_get_rgba_visual(screen);
      if (visual == nullptr || gtk_widget_get_realized(window->window)) return 0;
      gtk_widget_set_visual(window->window, visual);
      gtk_widget_set_app_paintable(window->window, TRUE);
      const GdkRGBA clear = {0, 0, 0, 0};
      webkit_web_view_set_background_color(window->view, &clear);
      return 1;
    }
    default:
      return 0;
  }
}

VEngineWindow* CreateEngineWindow(const char* title, char* error, size_t errorsize) {
  if (!Init(error, errorsize)) return nullptr;
  TEngineProcess& p = Process();
  WebKitWebContext* context = webkit_web_context_get_default();
  if (!p.schemeregistered) {
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_web_context_register_uri_scheme(context, "res", OnResRequest, nullptr, nullptr);
    p.schemeregistered = true;
  }
  auto* w = new VEngineWindow;  // lives until the process ends
  w->vm.window = w;
  w->content = webkit_user_content_manager_new();
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_hardware_acceleration_policy(settings, AccelerationFor(p.gfxlayer));
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  w->view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                         "settings", settings, "user-content-manager", w->content,
                                         nullptr));
  g_object_unref(settings);
  g_object_set_data(G_OBJECT(w->view), kWindowKey, w);
  w->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w->window), title ? title : "");
  gtk_window_set_decorated(GTK_WINDOW(w->window), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(w->window), 1, 1);
  gtk_widget_set_size_request(GTK_WIDGET(w->view), 1, 1);
  gtk_container_add(GTK_CONTAINER(w->window), GTK_WIDGET(w->view));
  if (!webkit_user_content_manager_register_script_message_handler_with_reply(
          w->content, kEngineHandler, nullptr)) {
    CopyError(error, errorsize, "Cannot register the engine functions.");
    return nullptr;
  }
  g_signal_connect(w->content,
                   (std::string("script-message-with-reply-received::") + kEngineHandler).c_str(),
                   G_CALLBACK(OnEngineMessage), w);
  InstallPageScript(w);
  g_signal_connect(w->view, "decide-policy", G_CALLBACK(OnDecidePolicy), nullptr);
  g_signal_connect(w->view, "create", G_CALLBACK(OnCreate), nullptr);
  g_signal_connect(w->view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), w);
  g_signal_connect(w->view, "notify::title", G_CALLBACK(OnTitle), nullptr);
  g_signal_connect(w->view, "button-press-event", G_CALLBACK(OnButtonPress), w);
  g_signal_connect(w->view, "button-release-event", G_CALLBACK(OnButtonRelease), w);
  g_signal_connect(w->window, "destroy", G_CALLBACK(OnDestroy), w);
  return w;
}

void ShowEngineWindow(VEngineWindow* w) {
  if (w != nullptr && !w->destroyed) gtk_widget_show_all(w->window);
}

int RunLoop(VEngineWindow* w) {
  if (w == nullptr || w->destroyed) return 0;
  w->loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(w->loop);
  g_main_loop_unref(w->loop);
  w->loop = nullptr;
  return w->exitcode;
}

namespace {

// Tasks handed to the UI thread. The queue's own lock orders each task's
// writes before its run (GLib's wakeup alone is invisible to the thread
// checker).
struct TMainQueue {
  std::mutex queuelock;  // guards tasks
  std::deque<std::pair<VEngineTask, void*>> tasks;
};
TMainQueue& MainQueue() {
  static TMainQueue queue;
  return queue;
}

gboolean RunPosted(gpointer) {
  TMainQueue& q = MainQueue();
  std::pair<VEngineTask, void*> task{nullptr, nullptr};
  {
    std::lock_guard<std::mutex> lock(q.queuelock);
    if (q.tasks.empty()) return G_SOURCE_REMOVE;
    task = q.tasks.front();
    q.tasks.pop_front();
  }
  task.first(task.second);
  return G_SOURCE_REMOVE;
}

}  // namespace

void Post(VEngineTask task, void* data) {
  if (task == nullptr) return;
  {
    TMainQueue& q = MainQueue();
    std::lock_guard<std::mutex> lock(q.queuelock);
    q.tasks.emplace_back(task, data);
  }
  // One wakeup per task: each runs one.
  g_idle_add_full(G_PRIORITY_DEFAULT, RunPosted, nullptr, nullptr);
}

void ShowMessageBox(const char* caption, const char* text) {
  char ignored[128];
  if (!Init(ignored, sizeof ignored)) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return;
  }
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", text ? text : "");
  gtk_window_set_title(GTK_WINDOW(dialog), caption ? caption : "");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

void SetCallback(VEngineWindow* w, VEngineCallback callback, void* param) {
  if (w == nullptr) return;
  w->callback = callback;
  w->param = param;
}

int LoadFile(VEngineWindow* w, const char* url) {
  if (w == nullptr || w->destroyed || url == nullptr || w->pagenavigated) return 0;
  w->pageurl = url;
  InstallPageScript(w);
  webkit_web_view_load_uri(w->view, url);
  return 1;
}

int DataReady(VEngineWindow* w, const char* uri, const uint8_t* data, size_t size) {
  if (w == nullptr || uri == nullptr || w->pendingrequest == nullptr || w->pendinganswered ||
      w->pendinguri != uri || (data == nullptr && size != 0)) {
    return 0;
  }
  GBytes* bytes = g_bytes_new(data, size);
  FinishWithBytes(w->pendingrequest, w->pendinguri, bytes, 200);
  g_bytes_unref(bytes);
  w->pendinganswered = true;
  return 1;
}

int Call(VEngineWindow* w, const char* name, uint32_t argc, const VEngineValue* argv,
         VEngineValue* result) {
  if (result != nullptr) ValueClear(result);
  if (w == nullptr || w->destroyed || name == nullptr) return 0;
  VEngineValue args;
  ValueInit(&args);
  ValueMakeEmpty(&args, VT_ARRAY);
  for (uint32_t i = 0; i < argc; ++i) ValueNthElementValueSet(&args, static_cast<int32_t>(i), &argv[i]);
  const std::string json = ValueToJson(args);
  ValueClear(&args);

  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&builder, "{sv}", "name", g_variant_new_string(name));
  g_variant_builder_add(&builder, "{sv}", "args", g_variant_new_string(json.c_str()));
  static const char kBody[] =
      "const f = globalThis[name];\n"
      "if (typeof f !== 'function') throw new Error('no function ' + name);\n"
      "return await f(...JSON.parse(args));\n";
  auto state = std::make_shared<TCallState>();
  webkit_web_view_call_async_javascript_function(w->view, kBody, -1,
                                                 g_variant_builder_end(&builder), nullptr, nullptr,
                                                 nullptr, OnCallFinished,
                                                 new std::shared_ptr<TCallState>(state));
  // The caller waits for the page, bounded, as the engine's calls are
  // synchronous; the main loop keeps running meanwhile.
  bool timedout = false;
  const guint timer = g_timeout_add(30000, OnCallTimeout, &timedout);
  while (!state->done && !timedout && !w->destroyed) g_main_context_iteration(nullptr, TRUE);
  if (!timedout) g_source_remove(timer);
  // A page function that closed the window ran: the call reached it.
  if (!state->done && w->destroyed) return 1;
  if (!state->ok) return 0;
  if (result != nullptr) JscToValue(state->result, result);
  return 1;
}

VEngineVM* GetVM(VEngineWindow* w) { return w == nullptr ? nullptr : &w->vm; }

const VEngineScriptApi* ScriptApi() { return &kScriptApi; }

void SetLauncherDataUrl(VEngineWindow* w, const char* url) {
  if (w != nullptr) w->launcherdataurl = url ? url : "";
}

void SetLinkOpener(VEngineWindow* w, void (*opener)(const char* uri, void* data), void* data) {
  if (w == nullptr) return;
  w->linkopener = opener;
  w->linkopenerdata = data;
}

void TestEvaluate(VEngineWindow* w, const char* body, VEngineHookReply reply, void* data) {
  if (w == nullptr || w->destroyed) {
    reply(nullptr, "no window", data);
    return;
  }
  webkit_web_view_call_async_javascript_function(w->view, body, -1, nullptr, nullptr, nullptr,
                                                 nullptr, OnHookEvaluated,
                                                 new THook{reply, data, {}});
}

void TestSnapshot(VEngineWindow* w, const char* path, VEngineHookReply reply, void* data) {
  if (w == nullptr || w->destroyed) {
    reply(nullptr, "no window", data);
    return;
  }
  webkit_web_view_get_snapshot(w->view, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                               WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, nullptr,
                               OnHookSnapshot, new THook{reply, data, path});
}

void TestDescribe(VEngineWindow* w, VEngineHookReply reply, void* data) {
  if (w == nullptr || w->destroyed) {
    reply(nullptr, "no window", data);
    return;
  }
  int x = 0, y = 0, width = 0, height = 0;
  gtk_window_get_position(GTK_WINDOW(w->window), &x, &y);
  gtk_window_get_size(GTK_WINDOW(w->window), &width, &height);
  GdkScreen* screen = gtk_widget_get_screen(w->window);
  const bool rgba = gtk_widget_get_visual(w->window) == gdk_screen_get_rgba_visual(screen);
  const auto policy = webkit_settings_get_hardware_acceleration_policy(
      webkit_web_view_get_settings(w->view));
  const char* title = gtk_window_get_title(GTK_WINDOW(w->window));
  VEngineValue v, key, e;
  ValueInit(&v);
  ValueInit(&key);
  ValueInit(&e);
  ValueMakeEmpty(&v, VT_MAP);
  auto put = [&](const char* k, const VEngineValue& value) {
    ValueStringDataSet(&key, k, std::strlen(k), 0);
    ValueSetValueToKey(&v, &key, &value);
  };
  auto putint = [&](const char* k, int n) {
    ValueIntDataSet(&e, n, VT_INT, 0);
    put(k, e);
  };
  auto putbool = [&](const char* k, bool b) {
    ValueIntDataSet(&e, b ? 1 : 0, VT_BOOL, 0);
    put(k, e);
  };
  auto putstring = [&](const char* k, const char* s) {
    ValueStringDataSet(&e, s, std::strlen(s), 0);
    put(k, e);
  };
  putint("x", x);
  putint("y", y);
  putint("width", width);
  putint("height", height);
  putbool("visible", gtk_widget_get_visible(w->window));
  putbool("decorated", gtk_window_get_decorated(GTK_WINDOW(w->window)));
  putbool("rgba", rgba);
  putstring("acceleration", policy == WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS  ? "always"
                            : policy == WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER ? "never"
                                                                                  : "on-demand");
  putstring("title", title ? title : "");
  const std::string json = ValueToJson(v);
  ValueClear(&v);
  ValueClear(&key);
  ValueClear(&e);
  reply(json.c_str(), nullptr, data);
}

}  // namespace vantrel::engine
