#include "ui/engine_host.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "ui/engine_binding.h"

namespace vantrel::ui {

namespace {

std::string Quoted(const char* pattern, const std::string& arg) {
  const int n = std::snprintf(nullptr, 0, pattern, arg.c_str());
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, pattern, arg.c_str());
  return s;
}

// One OnCloseFinished call on its way to the UI thread.
struct TCloseFinished {
  TEngineHost* host;
  int32_t closedelay;
};

void RunCloseFinished(void* data) {
  std::unique_ptr<TCloseFinished> task(static_cast<TCloseFinished*>(data));
  try {
    task->host->Call("OnCloseFinished", {TVariant(task->closedelay)});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "OnCloseFinished: %s\n", e.what());
  }
}

}  // namespace

std::string ResourceNameForUrl(const std::string& url) {
  static const std::string kScheme = "res:";
  if (url.compare(0, kScheme.size(), kScheme) != 0) return {};
  std::string name = url.substr(kScheme.size());
  for (char& c : name) {
    if (c == '-' || c == '.') c = '_';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

TEngineHost::TEngineHost(VEngineWindow* hWindow, const platform::TResourceTable& resources)
    : Handle(hWindow), resources_(resources) {}

void TEngineHost::SetupCallback() { EngineApi()->SetCallback(Handle, NotificationCallback, this); }

uint32_t TEngineHost::NotificationCallback(const VEngineNotification* notification, void* param) {
  auto* host = static_cast<TEngineHost*>(param);
  if (host == nullptr || notification == nullptr) return 0;
  try {
    switch (notification->code) {
      case VENGINE_LOAD_DATA: return host->HandleLoadData(*notification);
      case VENGINE_DATA_LOADED: return host->HandleDataLoaded(*notification);
      case VENGINE_ATTACH_BEHAVIOR: return host->HandleAttachBehavior(*notification);
      case VENGINE_ENGINE_DESTROYED: return host->HandleEngineDestroyed(*notification);
      case VENGINE_POSTED_NOTIFICATION: return host->HandlePostedNotification(*notification);
      default: return 0;
    }
  } catch (const std::exception& e) {
    // Nothing crosses back into the engine.
    host->Report(e.what());
  }
  return 0;
}

uint32_t TEngineHost::HandleLoadData(const VEngineNotification& data) {
  const std::string url = data.uri != nullptr ? data.uri : "";
  const std::string name = ResourceNameForUrl(url);
  if (name.empty()) return 0;
  const auto bytes = resources_.Find("HTML", name);
  if (!bytes) return 0;
  DataReady(url, bytes->data(), bytes->size());
  return 0;
}

uint32_t TEngineHost::HandleDataLoaded(const VEngineNotification&) { return 0; }
uint32_t TEngineHost::HandleAttachBehavior(const VEngineNotification&) { return 0; }
uint32_t TEngineHost::HandleEngineDestroyed(const VEngineNotification&) { return 0; }
uint32_t TEngineHost::HandlePostedNotification(const VEngineNotification&) { return 0; }

void TEngineHost::DataReady(const std::string& uri, const uint8_t* data, size_t dataLength) {
  if (!EngineApi()->DataReady(Handle, uri.c_str(), data, dataLength)) {
    Report(Quoted("Failed to handle resource \"%s\".", uri));
  }
}

VEngineVM* TEngineHost::GetHVM() { return EngineApi()->GetVM(Handle); }

void TEngineHost::RegisterNativeFunction(const std::string& Name, VEngineNativeFunction Handler) {
  RegisterScriptFunction(GetHVM(), Name, Handler, false, nullptr);
}

bool TEngineHost::TryCall(const std::string& FunctionName, const std::vector<TVariant>& Args,
                          TVariant& RetVal) {
  RetVal = TVariant();
  const VEngineApi* api = EngineApi();
  TEngineValue result;
  if (Args.size() > kMaxCallArgs) throw EEngineException("Too many arguments.");
  std::vector<VEngineValue> values(Args.size(), VEngineValue{VT_UNDEFINED, 0, 0});
  struct TClear {
    const VEngineApi* api;
    std::vector<VEngineValue>& values;
    ~TClear() {
      for (auto& v : values) api->ValueClear(&v);
    }
  } clear{api, values};
  for (size_t i = 0; i < Args.size(); ++i) VariantToEngineValue(Args[i], values[i]);
  const bool ok = api->Call(Handle, FunctionName.c_str(), static_cast<uint32_t>(values.size()),
                            values.empty() ? nullptr : values.data(), &result.get()) != 0;
  if (!ok) return false;
  EngineValueToVariant(result.get(), RetVal);
  return true;
}

bool TEngineHost::TryCall(const std::string& FunctionName, const std::vector<TVariant>& Args) {
  TVariant dropped;
  return TryCall(FunctionName, Args, dropped);
}

TVariant TEngineHost::Call(const std::string& FunctionName, const std::vector<TVariant>& Args) {
  TVariant result;
  if (!TryCall(FunctionName, Args, result)) {
    Report(Quoted("Method \"%s\" call failed.", FunctionName));
    return TVariant();
  }
  return result;
}

void TEngineHost::OnCloseFinished(int32_t closedelay) {
  EngineApi()->Post(RunCloseFinished, new TCloseFinished{this, closedelay});
}

void TEngineHost::Report(const std::string& text) {
  if (reporter_) {
    reporter_(text);
    return;
  }
  if (EngineLoaded()) {
    EngineApi()->MessageBox(kEngineCaption, text.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", kEngineCaption, text.c_str());
  }
}

}  // namespace vantrel::ui
