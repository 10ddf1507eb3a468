// The engine library's operation table: the one C interface between the
// launcher and libvantrel-engine.so, which renders the page with WebKitGTK in
// one GTK window. The launcher loads the library at run time and finds the
// table through its one export, VantrelEngineAPI; nothing of GTK or WebKit
// appears here, so the launcher itself never links them.
//
// Threads: every operation runs on the thread that created the window (the
// UI thread), except Post, which any thread may call, and the value
// functions, which work on values the caller owns.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VENGINE_API_VERSION 1u
#define VENGINE_ENTRY_POINT "VantrelEngineAPI"

// A window of the engine, with its web view (opaque).
typedef struct VEngineWindow VEngineWindow;
// The script VM of one window: the registry of its native functions (opaque).
typedef struct VEngineVM VEngineVM;

// An engine value: type, units and 64 bits of data. Strings, arrays, maps
// and bytes keep their contents outside the record; ValueClear frees them.
// Values are owned by whoever initialised them.
typedef struct VEngineValue {
  uint32_t t;
  uint32_t u;
  uint64_t d;
} VEngineValue;

enum VEngineValueType {
  VT_UNDEFINED = 0,
  VT_NULL = 1,
  VT_BOOL = 2,
  VT_INT = 3,
  VT_FLOAT = 4,
  VT_STRING = 5,
  VT_DATE = 6,  // data: file time (100 ns units since 1601-01-01 UTC)
  VT_CURRENCY = 7,
  VT_LENGTH = 8,
  VT_ARRAY = 9,
  VT_MAP = 10,
  VT_FUNCTION = 11,
  VT_BYTES = 12,
  VT_OBJECT = 13,
  VT_DOM_OBJECT = 14,
};

// Results of the value functions.
enum VEngineValueResult {
  VALUE_OK = 0,
  VALUE_BAD_PARAMETER = 1,
  VALUE_INCOMPATIBLE_TYPE = 2,
};

// ValueToString modes.
enum VEngineStringMode {
  VCVT_SIMPLE = 0,
  VCVT_SCRIPT_LITERAL = 3,  // a script literal (maps as object literals)
};

// Options of SetOption.
enum VEngineOption {
  VENGINE_SET_SCRIPT_RUNTIME_FEATURES = 8,  // accepted and ignored
  VENGINE_SET_GFX_LAYER = 9,                // process-wide, before the window exists
  VENGINE_ALPHA_WINDOW = 12,                // per-pixel transparency of the window
};

// Notification codes of the host callback.
enum VEngineNotificationCode {
  VENGINE_LOAD_DATA = 1,
  VENGINE_DATA_LOADED = 2,
  VENGINE_ATTACH_BEHAVIOR = 4,
  VENGINE_ENGINE_DESTROYED = 5,
  VENGINE_POSTED_NOTIFICATION = 6,
};

// One notification. For VENGINE_LOAD_DATA, uri is the URL the page asks for;
// the host may answer with DataReady(window, uri, ...) before it returns,
// otherwise the request gets "not found".
typedef struct VEngineNotification {
  uint32_t code;
  VEngineWindow* window;
  const char* uri;
} VEngineNotification;

typedef uint32_t (*VEngineCallback)(const VEngineNotification* notification, void* param);

// A native function: argv holds the page's arguments, result starts as
// undefined. ThrowError(vm, text) during the call makes the page's promise
// reject with that text instead. Must not let an exception escape.
typedef void (*VEngineNativeFunction)(VEngineVM* vm, uint32_t argc, const VEngineValue* argv,
                                      VEngineValue* result, void* tag);

typedef void (*VEngineTask)(void* data);
// Test hooks: the JSON text of a result, or an error text (json is null then).
typedef void (*VEngineHookReply)(const char* json, const char* error, void* data);

// The script VM's operations.
typedef struct VEngineScriptApi {
  // Whether the VM's global scope has a name: a native or an engine name.
  int (*NameExists)(VEngineVM* vm, const char* name);
  int (*IsNativeFunction)(VEngineVM* vm, const char* name);
  // Adds a native function under a name that does not exist yet; 0 when the
  // name cannot be a global function name (not an identifier).
  int (*RegisterNative)(VEngineVM* vm, const char* name, VEngineNativeFunction handler, void* tag);
  // Makes the native function that runs now fail with message.
  void (*ThrowError)(VEngineVM* vm, const char* message);
} VEngineScriptApi;

typedef struct VEngineApi {
  uint32_t version;

  // --- Process and window ----------------------------------------------
  // Opens the display once; 0 with a reason in error when there is none.
  int (*Init)(char* error, size_t errorsize);
  // Options (VEngineOption); window null for process-wide ones.
  int (*SetOption)(VEngineWindow* window, uint32_t option, intptr_t value);
  // A borderless, hidden top-level window with its web view; null with a
  // reason in error when it cannot be made.
  VEngineWindow* (*CreateWindow)(const char* title, char* error, size_t errorsize);
  void (*ShowWindow)(VEngineWindow* window);
  // Runs the main loop until the window is destroyed; the exit code: 0, or 1
  // when the window closed because the page's web process kept ending.
  int (*RunLoop)(VEngineWindow* window);
  // Runs task(data) on the UI thread, once. Any thread.
  void (*Post)(VEngineTask task, void* data);
  // A modal message box with one OK button; on stderr without a display.
  void (*MessageBox)(const char* caption, const char* text);

  // --- Page ----------------------------------------------------------------
  void (*SetCallback)(VEngineWindow* window, VEngineCallback callback, void* param);
  int (*LoadFile)(VEngineWindow* window, const char* url);
  // Answers the load request for uri being notified now; 0 when there is
  // none. The engine copies the bytes.
  int (*DataReady)(VEngineWindow* window, const char* uri, const uint8_t* data, size_t size);
  // Calls the page's global function name and waits for its result (a
  // promise is awaited); 0 when it does not exist or fails. A call during
  // which the window is destroyed succeeds with an undefined result.
  int (*Call)(VEngineWindow* window, const char* name, uint32_t argc, const VEngineValue* argv,
              VEngineValue* result);
  VEngineVM* (*GetVM)(VEngineWindow* window);
  const VEngineScriptApi* (*ScriptApi)(void);
  // Where Engine.launcherData(lang) asks: url + lang + "/"; empty: not configured.
  void (*SetLauncherDataUrl)(VEngineWindow* window, const char* url);
  // Where http(s) links the user clicks are opened; null: the system's opener.
  void (*SetLinkOpener)(VEngineWindow* window, void (*opener)(const char* uri, void* data),
                        void* data);

  // --- Values -------------------------------------------------------------
  void (*ValueInit)(VEngineValue* v);
  void (*ValueClear)(VEngineValue* v);
  uint32_t (*ValueCopy)(VEngineValue* dst, const VEngineValue* src);
  uint32_t (*ValueType)(const VEngineValue* v, uint32_t* type, uint32_t* units);
  uint32_t (*ValueIsolate)(VEngineValue* v);
  uint32_t (*ValueStringData)(const VEngineValue* v, const char** text, size_t* size);
  uint32_t (*ValueStringDataSet)(VEngineValue* v, const char* text, size_t size, uint32_t units);
  uint32_t (*ValueIntData)(const VEngineValue* v, int32_t* n);
  uint32_t (*ValueIntDataSet)(VEngineValue* v, int32_t n, uint32_t type, uint32_t units);
  uint32_t (*ValueInt64Data)(const VEngineValue* v, int64_t* n);
  uint32_t (*ValueInt64DataSet)(VEngineValue* v, int64_t n, uint32_t type, uint32_t units);
  uint32_t (*ValueFloatData)(const VEngineValue* v, double* x);
  uint32_t (*ValueFloatDataSet)(VEngineValue* v, double x, uint32_t type, uint32_t units);
  uint32_t (*ValueBinaryData)(const VEngineValue* v, const uint8_t** bytes, size_t* size);
  uint32_t (*ValueBinaryDataSet)(VEngineValue* v, const uint8_t* bytes, size_t size, uint32_t type,
                                 uint32_t units);
  uint32_t (*ValueElementsCount)(const VEngineValue* v, int32_t* count);
  // A copy of element n (of an array, or the n-th value of a map).
  uint32_t (*ValueNthElementValue)(const VEngineValue* v, int32_t n, VEngineValue* out);
  uint32_t (*ValueNthElementKey)(const VEngineValue* v, int32_t n, VEngineValue* out);
  // Stores a copy of e at n, making v an array and growing it as needed.
  uint32_t (*ValueNthElementValueSet)(VEngineValue* v, int32_t n, const VEngineValue* e);
  // Stores a copy of e under key, making v a map.
  uint32_t (*ValueSetValueToKey)(VEngineValue* v, const VEngineValue* key, const VEngineValue* e);
  // The value as text (VEngineStringMode) into out, a string value.
  uint32_t (*ValueToString)(const VEngineValue* v, uint32_t mode, VEngineValue* out);
  // Makes v an empty array (VT_ARRAY) or map (VT_MAP).
  uint32_t (*ValueMakeEmpty)(VEngineValue* v, uint32_t type);

  // --- Test hooks: called only by a test build of the launcher -------------
  // Runs body as an async function in the page; the reply gets its result.
  void (*TestEvaluate)(VEngineWindow* window, const char* body, VEngineHookReply reply, void* data);
  // Writes a PNG of the view with its alpha to path; the reply gets its size.
  void (*TestSnapshot)(VEngineWindow* window, const char* path, VEngineHookReply reply, void* data);
  // The window as JSON: position, size, visual, decoration, acceleration.
  void (*TestDescribe)(VEngineWindow* window, VEngineHookReply reply, void* data);
} VEngineApi;

typedef const VEngineApi* (*VEngineApiEntry)(void);

#ifdef __cplusplus
}
#endif
