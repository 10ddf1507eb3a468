#include "engine/engine_functions.h"

#include <curl/curl.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "engine/engine_window.h"

namespace vantrel::engine {

namespace {

constexpr long kLauncherDataTimeoutMs = 10000;
constexpr size_t kLauncherDataMaxBytes = 4 * 1024 * 1024;
// Largest window side the page may ask for.
constexpr int kMaxWindowSide = 16384;

void ReplyUndefined(WebKitScriptMessageReply* reply, JSCContext* context) {
  JSCValue* v = jsc_value_new_undefined(context);
  webkit_script_message_reply_return_value(reply, v);
  g_object_unref(v);
}

void ReplyBool(WebKitScriptMessageReply* reply, JSCContext* context, bool b) {
  JSCValue* v = jsc_value_new_boolean(context, b);
  webkit_script_message_reply_return_value(reply, v);
  g_object_unref(v);
}

// The argument at index as an integer; false when it is not a finite number.
bool IntArg(JSCValue* message, guint index, int* out) {
  JSCValue* v = jsc_value_object_get_property_at_index(message, index);
  const bool ok = jsc_value_is_number(v) && std::isfinite(jsc_value_to_double(v));
  if (ok) *out = jsc_value_to_int32(v);
  g_object_unref(v);
  return ok;
}

std::string StringArg(JSCValue* message, guint index) {
  JSCValue* v = jsc_value_object_get_property_at_index(message, index);
  std::string s;
  if (jsc_value_is_string(v)) {
    char* text = jsc_value_to_string(v);
    s = text;
    g_free(text);
  }
  g_object_unref(v);
  return s;
}

void ReplyWorkArea(VEngineWindow* w, WebKitScriptMessageReply* reply, JSCContext* context) {
  GdkDisplay* display = gtk_widget_get_display(w->window);
  GdkWindow* gdkwindow = gtk_widget_get_window(w->window);
  GdkMonitor* monitor = gdkwindow != nullptr ? gdk_display_get_monitor_at_window(display, gdkwindow)
                                             : gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{0, 0, 0, 0};
  if (monitor != nullptr) gdk_monitor_get_workarea(monitor, &area);
  JSCValue* obj = jsc_value_new_object(context, nullptr, nullptr);
  const struct {
    const char* name;
    int value;
  } fields[] = {{"x", area.x}, {"y", area.y}, {"width", area.width}, {"height", area.height}};
  for (const auto& f : fields) {
    JSCValue* n = jsc_value_new_number(context, f.value);
    jsc_value_object_set_property(obj, f.name, n);
    g_object_unref(n);
  }
  webkit_script_message_reply_return_value(reply, obj);
  g_object_unref(obj);
}

gboolean DestroyWindow(gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  if (!w->destroyed) gtk_widget_destroy(w->window);
  return G_SOURCE_REMOVE;
}

// --- Launcher data ------------------------------------------------------------

// One fetch: made on its own thread, answered on the UI thread. Holds a
// reference to the reply and to the page's script context.
struct TFetch {
  WebKitScriptMessageReply* reply = nullptr;
  JSCContext* context = nullptr;
  std::string url;
  std::string body;
  std::string error;
};

size_t OnFetchData(char* data, size_t size, size_t count, void* user) {
  auto* fetch = static_cast<TFetch*>(user);
  const size_t n = size * count;
  if (fetch->body.size() + n > kLauncherDataMaxBytes) return 0;
  fetch->body.append(data, n);
  return n;
}

void AnswerFetch(void* data) {
  std::unique_ptr<TFetch> fetch(static_cast<TFetch*>(data));
  if (!fetch->error.empty()) {
    webkit_script_message_reply_return_error_message(fetch->reply, fetch->error.c_str());
  } else {
    GBytes* bytes = g_bytes_new(fetch->body.data(), fetch->body.size());
    JSCValue* v = jsc_value_new_string_from_bytes(fetch->context, bytes);
    g_bytes_unref(bytes);
    webkit_script_message_reply_return_value(fetch->reply, v);
    g_object_unref(v);
  }
  webkit_script_message_reply_unref(fetch->reply);
  g_object_unref(fetch->context);
}

void RunFetch(TFetch* fetch) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    fetch->error = "Cannot start the request.";
  } else {
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, fetch->url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kLauncherDataTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnFetchData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, fetch);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) {
      fetch->error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
    } else if (status != 200) {
      fetch->error = "HTTP status " + std::to_string(status);
    }
    curl_easy_cleanup(curl);
  }
  if (!fetch->error.empty()) fetch->body.clear();
  Post(AnswerFetch, fetch);
}

// A language code: letters, digits, "-" and "_", at most 16 of them.
bool IsLanguageCode(const std::string& lang) {
  if (lang.empty() || lang.size() > 16) return false;
  for (char c : lang) {
    if (!g_ascii_isalnum(c) && c != '-' && c != '_') return false;
  }
  return true;
}

void StartFetch(VEngineWindow* w, const std::string& lang, WebKitScriptMessageReply* reply,
                JSCContext* context) {
  if (w->launcherdataurl.empty()) {
    webkit_script_message_reply_return_error_message(reply, "Not configured");
    return;
  }
  if (!IsLanguageCode(lang)) {
    webkit_script_message_reply_return_error_message(reply, "Not a language code");
    return;
  }
  auto* fetch = new TFetch;
  fetch->reply = webkit_script_message_reply_ref(reply);
  fetch->context = JSC_CONTEXT(g_object_ref(context));
  fetch->url = w->launcherdataurl + lang + "/";
  // The thread ends with its request (10 s at most) and answers through the
  // main loop; nothing waits for it.
  std::thread(RunFetch, fetch).detach();
}

}  // namespace

void StartEngineFunctions() { curl_global_init(CURL_GLOBAL_DEFAULT); }

gboolean OnEngineMessage(WebKitUserContentManager*, JSCValue* message,
                         WebKitScriptMessageReply* reply, gpointer data) {
  auto* w = static_cast<VEngineWindow*>(data);
  JSCContext* context = jsc_value_get_context(message);
  const std::string op = jsc_value_is_array(message) ? StringArg(message, 0) : std::string();
  if (w->destroyed) {
    webkit_script_message_reply_return_error_message(reply, "The window is closed");
    return TRUE;
  }
  int a = 0, b = 0;
  if (op == "workArea") {
    ReplyWorkArea(w, reply, context);
  } else if (op == "moveWindow" || op == "resizeWindow") {
    if (!IntArg(message, 1, &a) || !IntArg(message, 2, &b) ||
        (op == "resizeWindow" && (a <= 0 || b <= 0 || a > kMaxWindowSide || b > kMaxWindowSide))) {
      webkit_script_message_reply_return_error_message(reply, "Bad arguments");
      return TRUE;
    }
    if (op == "moveWindow") {
      gtk_window_move(GTK_WINDOW(w->window), a, b);
    } else {
      gtk_window_resize(GTK_WINDOW(w->window), a, b);
    }
    ReplyUndefined(reply, context);
  } else if (op == "minimizeWindow") {
    gtk_window_iconify(GTK_WINDOW(w->window));
    ReplyUndefined(reply, context);
  } else if (op == "closeWindow") {
    ReplyUndefined(reply, context);
    g_idle_add(DestroyWindow, w);
  } else if (op == "beginDrag") {
    const bool drag = w->lastpress != nullptr;
    if (drag) {
      const GdkEventButton* press = &w->lastpress->button;
      gtk_window_begin_move_drag(GTK_WINDOW(w->window), static_cast<gint>(press->button),
                                 static_cast<gint>(press->x_root), static_cast<gint>(press->y_root),
                                 press->time);
      gdk_event_free(w->lastpress);
      w->lastpress = nullptr;
    }
    ReplyBool(reply, context, drag);
  } else if (op == "launcherData") {
    StartFetch(w, StringArg(message, 1), reply, context);
  } else {
    webkit_script_message_reply_return_error_message(reply, "Unknown engine function");
  }
  return TRUE;
}

}  // namespace vantrel::engine
