#include "ui/natives.h"

#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "ui/engine_binding.h"
#include "update/game_launch.h"
#include "update/update_logic.h"

namespace vantrel::ui {

namespace {

// Set once by start-up on the UI thread before any native can run.
std::atomic<TUpdateLogic*> gLauncherState{nullptr};

TUpdateLogic& State() {
  TUpdateLogic* logic = gLauncherState.load(std::memory_order_acquire);
  if (logic == nullptr) throw EVantrelError("The launcher state is not ready.");
  return *logic;
}

std::string ArgString(uint32_t argc, const VEngineValue* argv, uint32_t n) {
  if (n >= argc) return {};
  TVariant v;
  EngineValueToVariant(argv[n], v);
  return v.Type() == TVarType::String ? v.AsString() : std::string();
}

bool ArgBool(uint32_t argc, const VEngineValue* argv, uint32_t n) {
  if (n >= argc) return false;
  TVariant v;
  EngineValueToVariant(argv[n], v);
  return (v.Type() == TVarType::Bool || v.Type() == TVarType::Int32) && v.AsInt() != 0;
}

void SetResult(VEngineValue* result, const TVariant& value) {
  VariantToEngineValue(value, *result);
}

// The error guard of the natives: an error of the system becomes a script
// error with its text and the result stays nothing. Nothing else may cross
// back into the engine either, so any other fault becomes a script error too.
template <typename F>
void Guarded(VEngineVM* vm, VEngineValue* result, F&& body) {
  try {
    body();
  } catch (const EVantrelError& e) {
    EngineApi()->ValueClear(result);
    ThrowScriptError(vm, e.what());
  } catch (const std::exception& e) {
    EngineApi()->ValueClear(result);
    ThrowScriptError(vm, e.what());
  } catch (...) {
    EngineApi()->ValueClear(result);
    ThrowScriptError(vm, "Unexpected error.");
  }
}

void LaunchVersionCheck(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result,
                        void*) {
  Guarded(vm, result, [&] {
    State().LaunchVersionCheck();
    SetResult(result, 0);
  });
}

void LaunchUpdate(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    State().LaunchUpdate();
    SetResult(result, 0);
  });
}

void LaunchRepair(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    State().LaunchRepair();
    SetResult(result, 0);
  });
}

void LaunchGame(VEngineVM* vm, uint32_t argc, const VEngineValue* argv, VEngineValue* result,
                void*) {
  Guarded(vm, result, [&] {
    LaunchGameThread::Start(State(), ArgString(argc, argv, 0), ArgString(argc, argv, 1),
                            ArgBool(argc, argv, 2));
    SetResult(result, 0);
  });
}

void LangSave(VEngineVM* vm, uint32_t argc, const VEngineValue* argv, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    State().LangSave(ArgString(argc, argv, 0));
    SetResult(result, 0);
  });
}

void GetAuthAndLangData(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result,
                        void*) {
  Guarded(vm, result, [&] {
    const TUpdateLogic& s = State();
    SetResult(result, TVariant::Array({s.loadedlogin, s.loadedpassword,
                                       TVariant::Bool(s.loadedsave), s.LoadedLang()}));
  });
}

void GetStatusMessages(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    // One consistent copy of the texts, taken under the state's lock.
    const TStatusSnapshot st = State().GetStatus();
    SetResult(result, TVariant::Array({st.StatusMessage, st.StatusMessageValue,
                                       TVariant(st.ProgressBarChange), st.SpeedMessage,
                                       st.SizeMessage}));
  });
}

void GetButtonsState(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    const TButtonsSnapshot b = State().GetButtons();
    SetResult(result,
              TVariant::Array({TVariant::Bool(b.RepairBtnState), TVariant::Bool(b.PlayBtnState),
                               TVariant::Bool(b.UpdateBtnState), TVariant::Bool(b.CancelBtnState)}));
  });
}

void AppClose(VEngineVM* vm, uint32_t, const VEngineValue*, VEngineValue* result, void*) {
  Guarded(vm, result, [&] {
    State().LaunchClose(true, 0);
    SetResult(result, 0);
  });
}

}  // namespace

void SetNativesState(TUpdateLogic* logic) {
  gLauncherState.store(logic, std::memory_order_release);
}

void RegisterNatives(TEngineHost& host) {
  struct TNative {
    const char* name;
    VEngineNativeFunction handler;
  };
  static const TNative kNatives[] = {
      {"LaunchVersionCheck", LaunchVersionCheck},
      {"LaunchUpdate", LaunchUpdate},
      {"LaunchRepair", LaunchRepair},
      {"LaunchGame", LaunchGame},
      {"LangSave", LangSave},
      {"GetAuthAndLangData", GetAuthAndLangData},
      {"GetStatusMessages", GetStatusMessages},
      {"GetButtonsState", GetButtonsState},
      {"AppClose", AppClose},
  };
  for (const TNative& n : kNatives) host.RegisterNativeFunction(n.name, n.handler);
}

}  // namespace vantrel::ui
