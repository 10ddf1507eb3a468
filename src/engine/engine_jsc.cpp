#include "engine/engine_jsc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/engine_values.h"

namespace vantrel::engine {

namespace {

constexpr int kMaxDepth = 64;
// Longest array taken from the page; elements beyond it are left out.
constexpr int32_t kMaxElements = 1 << 20;

void SetString(VEngineValue* out, const char* text) {
  ValueStringDataSet(out, text ? text : "", text ? std::strlen(text) : 0, 0);
}

void Convert(JSCValue* value, VEngineValue* out, int depth) {
  ValueClear(out);
  if (value == nullptr || jsc_value_is_undefined(value)) return;
  if (depth > kMaxDepth || jsc_value_is_null(value)) {
    out->t = VT_NULL;
    return;
  }
  if (jsc_value_is_boolean(value)) {
    ValueIntDataSet(out, jsc_value_to_boolean(value) ? 1 : 0, VT_BOOL, 0);
  } else if (jsc_value_is_number(value)) {
    const double x = jsc_value_to_double(value);
    if (std::isfinite(x) && x == std::trunc(x) && x >= -2147483648.0 && x <= 2147483647.0 &&
        !(x == 0 && std::signbit(x))) {
      ValueIntDataSet(out, static_cast<int32_t>(x), VT_INT, 0);
    } else {
      ValueFloatDataSet(out, x, VT_FLOAT, 0);
    }
  } else if (jsc_value_is_string(value)) {
    char* s = jsc_value_to_string(value);
    SetString(out, s);
    g_free(s);
  } else if (jsc_value_is_function(value)) {
    out->t = VT_FUNCTION;
  } else if (jsc_value_is_typed_array(value)) {
    gsize count = 0;
    const auto* bytes = static_cast<const uint8_t*>(jsc_value_typed_array_get_data(value, &count));
    ValueBinaryDataSet(out, bytes, jsc_value_typed_array_get_size(value), VT_BYTES, 0);
  } else if (jsc_value_is_array(value)) {
    JSCValue* len = jsc_value_object_get_property(value, "length");
    const int32_t n = std::min(std::max(jsc_value_to_int32(len), 0), kMaxElements);
    g_object_unref(len);
    ValueMakeEmpty(out, VT_ARRAY);
    for (int32_t i = 0; i < n; ++i) {
      JSCValue* e = jsc_value_object_get_property_at_index(value, static_cast<guint>(i));
      VEngineValue ev;
      ValueInit(&ev);
      Convert(e, &ev, depth + 1);
      ValueNthElementValueSet(out, i, &ev);
      ValueClear(&ev);
      g_object_unref(e);
    }
  } else if (jsc_value_is_object(value)) {
    if (jsc_value_object_is_instance_of(value, "Date")) {
      JSCValue* t = jsc_value_object_invoke_method(value, "getTime", G_TYPE_NONE);
      const double ms = jsc_value_to_double(t);
      g_object_unref(t);
      if (std::isfinite(ms)) {
        ValueInt64DataSet(out, FileTimeFromUnixMs(ms), VT_DATE, 0);
      } else {
        out->t = VT_NULL;
      }
      return;
    }
    gchar** names = jsc_value_object_enumerate_properties(value);
    VEngineValue map;
    ValueInit(&map);
    ValueMakeEmpty(&map, VT_MAP);
    for (gchar** p = names; p && *p; ++p) {
      JSCValue* e = jsc_value_object_get_property(value, *p);
      VEngineValue key, ev;
      ValueInit(&key);
      ValueInit(&ev);
      SetString(&key, *p);
      Convert(e, &ev, depth + 1);
      ValueSetValueToKey(&map, &key, &ev);
      ValueClear(&key);
      ValueClear(&ev);
      g_object_unref(e);
    }
    g_strfreev(names);
    *out = map;
  } else {
    out->t = VT_NULL;
  }
}

JSCValue* ToJsc(JSCContext* ctx, const VEngineValue& v, int depth) {
  if (depth > kMaxDepth) return jsc_value_new_null(ctx);
  switch (v.t) {
    case VT_UNDEFINED: return jsc_value_new_undefined(ctx);
    case VT_BOOL: return jsc_value_new_boolean(ctx, v.d != 0);
    case VT_INT: return jsc_value_new_number(ctx, static_cast<int32_t>(static_cast<uint32_t>(v.d)));
    case VT_FLOAT: case VT_LENGTH: {
      double x = 0;
      ValueFloatData(&v, &x);
      return jsc_value_new_number(ctx, x);
    }
    case VT_CURRENCY: return jsc_value_new_number(ctx, static_cast<double>(static_cast<int64_t>(v.d)));
    case VT_STRING: {
      const char* s = nullptr;
      size_t n = 0;
      ValueStringData(&v, &s, &n);
      GBytes* bytes = g_bytes_new(s, n);
      JSCValue* str = jsc_value_new_string_from_bytes(ctx, bytes);
      g_bytes_unref(bytes);
      return str;
    }
    case VT_DATE: {
      JSCValue* ctor = jsc_context_get_value(ctx, "Date");
      JSCValue* d = jsc_value_constructor_call(ctor, G_TYPE_DOUBLE,
                                               UnixMsFromFileTime(static_cast<int64_t>(v.d)),
                                               G_TYPE_NONE);
      g_object_unref(ctor);
      return d;
    }
    case VT_ARRAY: {
      JSCValue* arr = jsc_value_new_array(ctx, G_TYPE_NONE);
      int32_t n = 0;
      ValueElementsCount(&v, &n);
      for (int32_t i = 0; i < n; ++i) {
        VEngineValue e;
        ValueInit(&e);
        ValueNthElementValue(&v, i, &e);
        JSCValue* je = ToJsc(ctx, e, depth + 1);
        jsc_value_object_set_property_at_index(arr, static_cast<guint>(i), je);
        g_object_unref(je);
        ValueClear(&e);
      }
      return arr;
    }
    case VT_MAP: {
      JSCValue* obj = jsc_value_new_object(ctx, nullptr, nullptr);
      int32_t n = 0;
      ValueElementsCount(&v, &n);
      for (int32_t i = 0; i < n; ++i) {
        VEngineValue k, e, ks;
        ValueInit(&k);
        ValueInit(&e);
        ValueInit(&ks);
        ValueNthElementKey(&v, i, &k);
        ValueNthElementValue(&v, i, &e);
        ValueToString(&k, VCVT_SIMPLE, &ks);
        const char* name = nullptr;
        ValueStringData(&ks, &name, nullptr);
        JSCValue* je = ToJsc(ctx, e, depth + 1);
        jsc_value_object_set_property(obj, name, je);
        g_object_unref(je);
        ValueClear(&k);
        ValueClear(&e);
        ValueClear(&ks);
      }
      return obj;
    }
    case VT_BYTES: {
      const uint8_t* b = nullptr;
      size_t n = 0;
      ValueBinaryData(&v, &b, &n);
      void* copy = g_memdup2(b, n);
      JSCValue* buffer = jsc_value_new_array_buffer(ctx, copy, n, g_free, copy);
      JSCValue* typed = jsc_value_new_typed_array_with_buffer(buffer, JSC_TYPED_ARRAY_UINT8, 0, -1);
      g_object_unref(buffer);
      return typed;
    }
    default: return jsc_value_new_null(ctx);
  }
}

}  // namespace

void JscToValue(JSCValue* value, VEngineValue* out) { Convert(value, out, 0); }

JSCValue* ValueToJsc(JSCContext* context, const VEngineValue& value) {
  return ToJsc(context, value, 0);
}

}  // namespace vantrel::engine
