// The binding to the engine library: loads libvantrel-engine.so on first
// use and keeps its operation tables, raises the binding's errors, registers
// native functions in a script VM, and converts values between the engine's
// records and TVariant. Start-up, the host object and the natives reach the
// engine only through it.
//
// Threads: the tables are loaded on the UI thread before any worker thread
// exists; afterwards any thread may read them (Post is the only operation
// another thread calls).
#pragma once

#include <string>
#include <vector>

#include "engine/engine_api.h"
#include "platform/errors.h"
#include "ui/variant.h"

namespace vantrel::ui {

// An error of the engine layer.
class EEngineException : public EVantrelError {
 public:
  using EVantrelError::EVantrelError;
};
// A value the conversion does not handle.
class EEngineNotImplementedException : public EEngineException {
 public:
  using EEngineException::EEngineException;
};

// The library's file name, and where it is loaded from: folder + name, or
// the name alone (the system's search order) while the folder is empty.
inline constexpr const char* kEngineLibraryName = "libvantrel-engine.so";
void SetEngineLibraryFolder(const std::string& folder);
std::string EngineLibraryPath();

// The operation table; loads the library on the first call. Raises
// EEngineException when it cannot be loaded or has no entry point; a failed
// load is tried again on the next call.
const VEngineApi* EngineApi();
// The script VM table. Raises EEngineException before the library is loaded.
const VEngineScriptApi* ScriptApi();
// Whether the library is loaded.
bool EngineLoaded();

// Makes the running native function fail with message.
void ThrowScriptError(VEngineVM* vm, const std::string& message);
bool ScriptNameExists(VEngineVM* vm, const std::string& name);
// true when registered; false when a native function of that name already
// exists (the first one stays). Raises when another object holds the name.
bool RegisterScriptFunction(VEngineVM* vm, const std::string& name, VEngineNativeFunction handler,
                            bool failIfExists, void* tag);

// Conversions; both return 0 on success and raise the errors of the tables.
uint32_t EngineValueToVariant(const VEngineValue& value, TVariant& variant);
uint32_t VariantToEngineValue(const TVariant& variant, VEngineValue& value);

// An engine value that clears itself.
class TEngineValue {
 public:
  TEngineValue();
  ~TEngineValue();
  TEngineValue(const TEngineValue&) = delete;
  TEngineValue& operator=(const TEngineValue&) = delete;
  VEngineValue& get() { return v_; }

 private:
  VEngineValue v_;
};

}  // namespace vantrel::ui
