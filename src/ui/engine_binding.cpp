#include "ui/engine_binding.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace vantrel::ui {

namespace {

// Process-wide binding state. The folder is set by start-up before the
// first load; the tables are written once by the load.
struct TBinding {
  std::string folder;
  std::mutex loadlock;  // guards a load in progress
  std::atomic<const VEngineApi*> api{nullptr};
  std::atomic<const VEngineScriptApi*> script{nullptr};
};
TBinding& Binding() {
  static TBinding binding;
  return binding;
}

std::string Format(const char* pattern, const std::string& arg) {
  const int n = std::snprintf(nullptr, 0, pattern, arg.c_str());
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, pattern, arg.c_str());
  return s;
}

std::string Format(const char* pattern, int arg) {
  char buf[256];
  std::snprintf(buf, sizeof buf, pattern, arg);
  return buf;
}

constexpr double kFileTimeTicksPerDay = 864000000000.0;
constexpr double kDaysFrom1601To1899 = 109205.0;

int64_t FileTimeFromDate(double days) {
  return static_cast<int64_t>((days + kDaysFrom1601To1899) * kFileTimeTicksPerDay + 0.5);
}
double DateFromFileTime(int64_t filetime) {
  return static_cast<double>(filetime) / kFileTimeTicksPerDay - kDaysFrom1601To1899;
}

void SetString(const VEngineApi* api, VEngineValue& value, const std::string& s) {
  api->ValueStringDataSet(&value, s.data(), s.size(), 0);
}

void RecordToMap(const VEngineApi* api, const TRecord& record, VEngineValue& value) {
  for (const TRecordField& f : record.fields) {
    TEngineValue key, e;
    SetString(api, key.get(), f.name);
    using K = TRecordField::TKind;
    switch (f.kind) {
      case K::Integer:
      case K::Enumeration:
        api->ValueIntDataSet(&e.get(), static_cast<int32_t>(f.integer), VT_INT, 0);
        break;
      case K::Boolean:
        api->ValueIntDataSet(&e.get(), f.integer != 0, VT_BOOL, 0);
        break;
      case K::String:
        SetString(api, e.get(), f.text);
        break;
      case K::Float:
        api->ValueInt64DataSet(&e.get(), FileTimeFromDate(f.number), VT_DATE, 1);
        break;
      case K::Array:
        api->ValueMakeEmpty(&e.get(), VT_ARRAY);
        for (size_t i = 0; i < f.elements.size(); ++i) {
          const TVariant& el = f.elements[i];
          TEngineValue ev;
          switch (el.Type()) {
            case TVarType::Int8: case TVarType::Int16: case TVarType::Int32:
            case TVarType::UInt8: case TVarType::UInt16: case TVarType::UInt32:
            case TVarType::Int64:
              api->ValueIntDataSet(&ev.get(), static_cast<int32_t>(el.AsInt()), VT_INT, 0);
              break;
            case TVarType::Bool:
              api->ValueIntDataSet(&ev.get(), el.AsBool(), VT_BOOL, 0);
              break;
            case TVarType::String:
              SetString(api, ev.get(), el.AsString());
              break;
            default:
              throw EEngineNotImplementedException(
                  Format("Cannot convert array element of type %d to engine value.",
                         static_cast<int>(el.Type())));
          }
          api->ValueNthElementValueSet(&e.get(), static_cast<int32_t>(i), &ev.get());
        }
        break;
      case K::Other:
        throw EEngineNotImplementedException(
            Format("Cannot convert record field of type %d to engine value.", f.typecode));
    }
    api->ValueSetValueToKey(&value, &key.get(), &e.get());
  }
}

}  // namespace

TEngineValue::TEngineValue() { v_ = VEngineValue{VT_UNDEFINED, 0, 0}; }
TEngineValue::~TEngineValue() {
  if (v_.t != VT_UNDEFINED) EngineApi()->ValueClear(&v_);
}

void SetEngineLibraryFolder(const std::string& folder) { Binding().folder = folder; }

std::string EngineLibraryPath() {
  const std::string& folder = Binding().folder;
  if (folder.empty()) return kEngineLibraryName;
  return folder.back() == '/' ? folder + kEngineLibraryName : folder + "/" + kEngineLibraryName;
}

const VEngineApi* EngineApi() {
  TBinding& b = Binding();
  if (const VEngineApi* api = b.api.load(std::memory_order_acquire)) return api;
  std::lock_guard<std::mutex> lock(b.loadlock);
  if (const VEngineApi* api = b.api.load(std::memory_order_acquire)) return api;
  // Never unloaded: GTK and WebKit cannot be unloaded from a process safely.
  void* module = ::dlopen(EngineLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) throw EEngineException("Failed to load libvantrel-engine.so.");
  auto entry = reinterpret_cast<VEngineApiEntry>(::dlsym(module, VENGINE_ENTRY_POINT));
  const VEngineApi* api = entry != nullptr ? entry() : nullptr;
  if (api == nullptr || api->version != VENGINE_API_VERSION) {
    ::dlclose(module);
    throw EEngineException("Failed to get pointer to VantrelEngineAPI function.");
  }
  b.api.store(api, std::memory_order_release);
  return api;
}

bool EngineLoaded() { return Binding().api.load(std::memory_order_acquire) != nullptr; }

const VEngineScriptApi* ScriptApi() {
  TBinding& b = Binding();
  if (const VEngineScriptApi* s = b.script.load(std::memory_order_acquire)) return s;
  const VEngineApi* api = b.api.load(std::memory_order_acquire);
  if (api == nullptr) throw EEngineException("libvantrel-engine.so is not loaded.");
  const VEngineScriptApi* s = api->ScriptApi();
  b.script.store(s, std::memory_order_release);
  return s;
}

void ThrowScriptError(VEngineVM* vm, const std::string& message) {
  ScriptApi()->ThrowError(vm, message.c_str());
}

bool ScriptNameExists(VEngineVM* vm, const std::string& name) {
  return ScriptApi()->NameExists(vm, name.c_str()) != 0;
}

bool RegisterScriptFunction(VEngineVM* vm, const std::string& name, VEngineNativeFunction handler,
                            bool failIfExists, void* tag) {
  if (failIfExists && ScriptNameExists(vm, name)) {
    throw EEngineException(
        Format("Failed to register native function %s. Object with same name already exists.",
               name));
  }
  const VEngineScriptApi* script = ScriptApi();
  if (!script->NameExists(vm, name.c_str())) {
    if (!script->RegisterNative(vm, name.c_str(), handler, tag)) {
      throw EVantrelError(Format("Failed to register native function \"%s\".", name));
    }
    return true;
  }
  if (script->IsNativeFunction(vm, name.c_str())) return false;
  throw EEngineException(Format(
      "Cannot register native function \"%s\" (unexpected error). Seems that object with same "
      "name already exists.",
      name));
}

uint32_t EngineValueToVariant(const VEngineValue& value, TVariant& variant) {
  const VEngineApi* api = EngineApi();
  uint32_t type = 0, units = 0;
  if (api->ValueType(&value, &type, &units) != VALUE_OK) {
    throw EEngineException("Unknown engine value type.");
  }
  switch (type) {
    case VT_UNDEFINED: variant = TVariant(); break;
    case VT_NULL: variant = TVariant::Null(); break;
    case VT_BOOL: {
      int32_t n = 0;
      variant = TVariant::Bool(api->ValueIntData(&value, &n) == VALUE_OK && n != 0);
      break;
    }
    case VT_INT: {
      int32_t n = 0;
      api->ValueIntData(&value, &n);
      variant = TVariant(n);
      break;
    }
    case VT_FLOAT: {
      double x = 0;
      api->ValueFloatData(&value, &x);
      variant = TVariant::Float(x);
      break;
    }
    case VT_STRING: {
      const char* s = nullptr;
      size_t n = 0;
      api->ValueStringData(&value, &s, &n);
      variant = TVariant::String(std::string(s, n));
      break;
    }
    case VT_DATE: {
      int64_t ft = 0;
      api->ValueInt64Data(&value, &ft);
      variant = TVariant::Date(DateFromFileTime(ft));
      break;
    }
    case VT_CURRENCY: {
      int64_t c = 0;
      api->ValueInt64Data(&value, &c);
      variant = TVariant::Currency(c);
      break;
    }
    case VT_LENGTH:
      throw EEngineNotImplementedException("Cannot convert T_LENGTH to Variant (not implemented).");
    case VT_ARRAY: {
      int32_t count = 0;
      api->ValueElementsCount(&value, &count);
      std::vector<TVariant> items(static_cast<size_t>(count));
      for (int32_t i = 0; i < count; ++i) {
        TEngineValue e;
        api->ValueNthElementValue(&value, i, &e.get());
        EngineValueToVariant(e.get(), items[static_cast<size_t>(i)]);
      }
      variant = TVariant::Array(std::move(items));
      break;
    }
    case VT_MAP:
    case VT_OBJECT: {
      // Maps arrive as their script-literal text; this engine has no
      // automation objects, so an object arrives as its text form too.
      TEngineValue text;
      api->ValueToString(&value, VCVT_SCRIPT_LITERAL, &text.get());
      const char* s = nullptr;
      size_t n = 0;
      api->ValueStringData(&text.get(), &s, &n);
      variant = TVariant::String(std::string(s, n));
      break;
    }
    case VT_FUNCTION:
      throw EEngineNotImplementedException(
          "Cannot convert T_FUNCTION to Variant (not implemented).");
    case VT_BYTES:
      throw EEngineNotImplementedException("Cannot convert T_BYTES to Variant (not implemented).");
    case VT_DOM_OBJECT:
      throw EEngineNotImplementedException(
          "Cannot convert T_DOM_OBJECT to Variant (not implemented).");
    default:
      throw EEngineNotImplementedException(Format(
          "Conversion from engine type %d to Variant is not implemented.", static_cast<int>(type)));
  }
  return 0;
}

uint32_t VariantToEngineValue(const TVariant& variant, VEngineValue& value) {
  const VEngineApi* api = EngineApi();
  switch (variant.Type()) {
    case TVarType::Array: {
      const auto& items = variant.AsArray();
      api->ValueMakeEmpty(&value, VT_ARRAY);
      for (size_t i = 0; i < items.size(); ++i) {
        TEngineValue e;
        VariantToEngineValue(items[i], e.get());
        api->ValueNthElementValueSet(&value, static_cast<int32_t>(i), &e.get());
      }
      return 0;
    }
    case TVarType::Empty:
    case TVarType::Null:
      return 0;
    case TVarType::Int8: case TVarType::Int16: case TVarType::Int32:
    case TVarType::UInt8: case TVarType::UInt16:
    case TVarType::UInt32: case TVarType::Int64:
      return api->ValueIntDataSet(&value, static_cast<int32_t>(variant.AsInt()), VT_INT, 0);
    case TVarType::Single:
    case TVarType::Double:
      return api->ValueFloatDataSet(&value, variant.AsFloat(), VT_FLOAT, 0);
    case TVarType::Currency:
      return api->ValueInt64DataSet(&value, variant.AsInt(), VT_CURRENCY, 0);
    case TVarType::Date:
      return api->ValueInt64DataSet(&value, FileTimeFromDate(variant.AsFloat()), VT_DATE, 0);
    case TVarType::String:
      return api->ValueStringDataSet(&value, variant.AsString().data(), variant.AsString().size(),
                                     0);
    case TVarType::Bool:
      return api->ValueIntDataSet(&value, variant.AsBool() ? 1 : 0, VT_BOOL, 0);
    case TVarType::Record:
      api->ValueMakeEmpty(&value, VT_MAP);
      if (variant.AsRecord()) RecordToMap(api, *variant.AsRecord(), value);
      return 0;
    default:
      throw EEngineNotImplementedException(
          Format("Cannot convert VARIANT of type %d to engine value.",
                 static_cast<int>(variant.Type())));
  }
}

}  // namespace vantrel::ui
