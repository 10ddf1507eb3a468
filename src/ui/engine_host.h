// TEngineHost: the launcher's side of the engine window. It holds the
// window, receives the engine's notifications, serves every res: URL from
// the executable's resources of type "HTML", registers native functions in
// the window's script VM and calls global functions of the page. Start-up
// creates exactly one and keeps it until the process ends.
//
// Threads: everything runs on the UI thread except OnCloseFinished, which
// any thread may call; it hands its call to the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_api.h"
#include "platform/resources.h"
#include "ui/variant.h"

namespace vantrel::ui {

// A resource name from a res: URL: "res:" removed, "-" and "." made "_",
// ASCII letters upper-cased ("res:a-b.c.d" gives "A_B_C_D"). Empty when the
// URL does not begin with "res:" (case-sensitive).
std::string ResourceNameForUrl(const std::string& url);

// Shows a report of the host: a message box with the layer's caption.
using TReporter = std::function<void(const std::string& text)>;
inline constexpr const char* kEngineCaption = "Vantrel Engine";

class TEngineHost {
 public:
  // Most arguments a page function takes.
  static constexpr size_t kMaxCallArgs = 256;

  // hWindow: the engine window; resources: where res: URLs are served from.
  TEngineHost(VEngineWindow* hWindow, const platform::TResourceTable& resources);
  virtual ~TEngineHost() = default;
  TEngineHost(const TEngineHost&) = delete;
  TEngineHost& operator=(const TEngineHost&) = delete;

  VEngineWindow* const Handle;

  // Installs the notification callback.
  void SetupCallback();
  // Reports go to the message box unless replaced (a test build sends them
  // to stderr).
  void SetReporter(TReporter reporter) { reporter_ = std::move(reporter); }

  // The notifications; each returns 0.
  virtual uint32_t HandleLoadData(const VEngineNotification& data);
  virtual uint32_t HandleDataLoaded(const VEngineNotification& data);
  virtual uint32_t HandleAttachBehavior(const VEngineNotification& data);
  virtual uint32_t HandleEngineDestroyed(const VEngineNotification& data);
  virtual uint32_t HandlePostedNotification(const VEngineNotification& data);

  // Hands bytes to the engine for uri; a refusal is reported.
  void DataReady(const std::string& uri, const uint8_t* data, size_t dataLength);
  VEngineVM* GetHVM();
  // Registers in the global scope; the result is ignored.
  void RegisterNativeFunction(const std::string& Name, VEngineNativeFunction Handler);

  // Calls the page's global function. Raises EEngineException "Too many
  // arguments." for more than kMaxCallArgs; false when the function does not
  // exist or fails (RetVal empty then).
  bool TryCall(const std::string& FunctionName, const std::vector<TVariant>& Args,
               TVariant& RetVal);
  bool TryCall(const std::string& FunctionName, const std::vector<TVariant>& Args);
  // TryCall; a failure is reported and gives an empty result.
  TVariant Call(const std::string& FunctionName, const std::vector<TVariant>& Args);
  // Calls the page's "OnCloseFinished"(closedelay) on the UI thread, once
  // per call. Any thread.
  void OnCloseFinished(int32_t closedelay);

 protected:
  void Report(const std::string& text);

 private:
  static uint32_t NotificationCallback(const VEngineNotification* notification, void* param);

  const platform::TResourceTable& resources_;
  TReporter reporter_;
};

}  // namespace vantrel::ui
