#include "engine/engine_values.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace vantrel::engine {

namespace {

// What strings, bytes, arrays and maps keep outside the record. Maps keep
// their keys beside their values, in insertion order.
struct TNode {
  std::string bytes;
  std::vector<VEngineValue> items;
  std::vector<VEngineValue> keys;
};

bool HasNode(uint32_t t) {
  return t == VT_STRING || t == VT_BYTES || t == VT_ARRAY || t == VT_MAP;
}

TNode* Node(const VEngineValue* v) { return reinterpret_cast<TNode*>(static_cast<uintptr_t>(v->d)); }

TNode* SetNode(VEngineValue* v, uint32_t t, uint32_t u) {
  ValueClear(v);
  auto* node = new TNode;
  v->t = t;
  v->u = u;
  v->d = reinterpret_cast<uintptr_t>(node);
  return node;
}

void AppendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void AppendNumber(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  out += buf;
}

void AppendJson(std::string& out, const VEngineValue& v) {
  switch (v.t) {
    case VT_NULL: case VT_UNDEFINED: case VT_FUNCTION: case VT_OBJECT: case VT_DOM_OBJECT:
      out += "null";
      break;
    case VT_BOOL: out += v.d ? "true" : "false"; break;
    case VT_INT: out += std::to_string(static_cast<int32_t>(v.d)); break;
    case VT_FLOAT: case VT_LENGTH: {
      double x;
      std::memcpy(&x, &v.d, sizeof x);
      AppendNumber(out, x);
      break;
    }
    case VT_DATE: AppendNumber(out, UnixMsFromFileTime(static_cast<int64_t>(v.d))); break;
    case VT_CURRENCY: out += std::to_string(static_cast<int64_t>(v.d)); break;
    case VT_STRING: AppendJsonString(out, Node(&v)->bytes); break;
    case VT_BYTES: {
      out += '[';
      const std::string& b = Node(&v)->bytes;
      for (size_t i = 0; i < b.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(static_cast<unsigned char>(b[i]));
      }
      out += ']';
      break;
    }
    case VT_ARRAY: {
      out += '[';
      const TNode* n = Node(&v);
      for (size_t i = 0; i < n->items.size(); ++i) {
        if (i) out += ',';
        AppendJson(out, n->items[i]);
      }
      out += ']';
      break;
    }
    case VT_MAP: {
      out += '{';
      const TNode* n = Node(&v);
      for (size_t i = 0; i < n->items.size(); ++i) {
        if (i) out += ',';
        const VEngineValue& k = n->keys[i];
        if (k.t == VT_STRING) {
          AppendJsonString(out, Node(&k)->bytes);
        } else {
          std::string text;
          AppendJson(text, k);
          AppendJsonString(out, text);
        }
        out += ':';
        AppendJson(out, n->items[i]);
      }
      out += '}';
      break;
    }
    default: out += "null";
  }
}

}  // namespace

int64_t FileTimeFromUnixMs(double ms) {
  return static_cast<int64_t>(std::llround(ms * 10000.0)) + 116444736000000000LL;
}

double UnixMsFromFileTime(int64_t filetime) {
  return static_cast<double>(filetime - 116444736000000000LL) / 10000.0;
}

void ValueInit(VEngineValue* v) {
  v->t = VT_UNDEFINED;
  v->u = 0;
  v->d = 0;
}

void ValueClear(VEngineValue* v) {
  if (v == nullptr) return;
  if (HasNode(v->t)) {
    TNode* n = Node(v);
    for (auto& e : n->items) ValueClear(&e);
    for (auto& k : n->keys) ValueClear(&k);
    delete n;
  }
  ValueInit(v);
}

uint32_t ValueCopy(VEngineValue* dst, const VEngineValue* src) {
  if (dst == nullptr || src == nullptr) return VALUE_BAD_PARAMETER;
  if (dst == src) return VALUE_OK;
  VEngineValue copy{src->t, src->u, src->d};
  if (HasNode(src->t)) {
    const TNode* from = Node(src);
    auto* node = new TNode;
    node->bytes = from->bytes;
    node->items.resize(from->items.size());
    node->keys.resize(from->keys.size());
    for (size_t i = 0; i < from->items.size(); ++i) {
      ValueInit(&node->items[i]);
      ValueCopy(&node->items[i], &from->items[i]);
    }
    for (size_t i = 0; i < from->keys.size(); ++i) {
      ValueInit(&node->keys[i]);
      ValueCopy(&node->keys[i], &from->keys[i]);
    }
    copy.d = reinterpret_cast<uintptr_t>(node);
  }
  ValueClear(dst);
  *dst = copy;
  return VALUE_OK;
}

uint32_t ValueType(const VEngineValue* v, uint32_t* type, uint32_t* units) {
  if (v == nullptr) return VALUE_BAD_PARAMETER;
  if (type) *type = v->t;
  if (units) *units = v->u;
  return VALUE_OK;
}

uint32_t ValueIsolate(VEngineValue* v) { return v == nullptr ? VALUE_BAD_PARAMETER : VALUE_OK; }

uint32_t ValueStringData(const VEngineValue* v, const char** text, size_t* size) {
  if (v == nullptr || text == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_STRING) return VALUE_INCOMPATIBLE_TYPE;
  *text = Node(v)->bytes.c_str();
  if (size) *size = Node(v)->bytes.size();
  return VALUE_OK;
}

uint32_t ValueStringDataSet(VEngineValue* v, const char* text, size_t size, uint32_t units) {
  if (v == nullptr || (text == nullptr && size != 0)) return VALUE_BAD_PARAMETER;
  std::string s(text ? text : "", size);
  SetNode(v, VT_STRING, units)->bytes = std::move(s);
  return VALUE_OK;
}

uint32_t ValueIntData(const VEngineValue* v, int32_t* n) {
  if (v == nullptr || n == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_INT && v->t != VT_BOOL) return VALUE_INCOMPATIBLE_TYPE;
  *n = static_cast<int32_t>(static_cast<uint32_t>(v->d));
  return VALUE_OK;
}

uint32_t ValueIntDataSet(VEngineValue* v, int32_t n, uint32_t type, uint32_t units) {
  if (v == nullptr) return VALUE_BAD_PARAMETER;
  if (type != VT_INT && type != VT_BOOL) return VALUE_INCOMPATIBLE_TYPE;
  ValueClear(v);
  v->t = type;
  v->u = units;
  v->d = type == VT_BOOL ? (n != 0 ? 1 : 0) : static_cast<uint32_t>(n);
  return VALUE_OK;
}

uint32_t ValueInt64Data(const VEngineValue* v, int64_t* n) {
  if (v == nullptr || n == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_DATE && v->t != VT_CURRENCY) return VALUE_INCOMPATIBLE_TYPE;
  *n = static_cast<int64_t>(v->d);
  return VALUE_OK;
}

uint32_t ValueInt64DataSet(VEngineValue* v, int64_t n, uint32_t type, uint32_t units) {
  if (v == nullptr) return VALUE_BAD_PARAMETER;
  if (type != VT_DATE && type != VT_CURRENCY) return VALUE_INCOMPATIBLE_TYPE;
  ValueClear(v);
  v->t = type;
  v->u = units;
  v->d = static_cast<uint64_t>(n);
  return VALUE_OK;
}

uint32_t ValueFloatData(const VEngineValue* v, double* x) {
  if (v == nullptr || x == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t == VT_INT) {
    *x = static_cast<int32_t>(static_cast<uint32_t>(v->d));
    return VALUE_OK;
  }
  if (v->t != VT_FLOAT && v->t != VT_LENGTH) return VALUE_INCOMPATIBLE_TYPE;
  std::memcpy(x, &v->d, sizeof *x);
  return VALUE_OK;
}

uint32_t ValueFloatDataSet(VEngineValue* v, double x, uint32_t type, uint32_t units) {
  if (v == nullptr) return VALUE_BAD_PARAMETER;
  if (type != VT_FLOAT && type != VT_LENGTH) return VALUE_INCOMPATIBLE_TYPE;
  ValueClear(v);
  v->t = type;
  v->u = units;
  std::memcpy(&v->d, &x, sizeof x);
  return VALUE_OK;
}

uint32_t ValueBinaryData(const VEngineValue* v, const uint8_t** bytes, size_t* size) {
  if (v == nullptr || bytes == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_BYTES) return VALUE_INCOMPATIBLE_TYPE;
  *bytes = reinterpret_cast<const uint8_t*>(Node(v)->bytes.data());
  if (size) *size = Node(v)->bytes.size();
  return VALUE_OK;
}

uint32_t ValueBinaryDataSet(VEngineValue* v, const uint8_t* bytes, size_t size, uint32_t type,
                            uint32_t units) {
  if (v == nullptr || (bytes == nullptr && size != 0)) return VALUE_BAD_PARAMETER;
  if (type != VT_BYTES) return VALUE_INCOMPATIBLE_TYPE;
  std::string b(reinterpret_cast<const char*>(bytes ? bytes : reinterpret_cast<const uint8_t*>("")),
                size);
  SetNode(v, VT_BYTES, units)->bytes = std::move(b);
  return VALUE_OK;
}

uint32_t ValueElementsCount(const VEngineValue* v, int32_t* count) {
  if (v == nullptr || count == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_ARRAY && v->t != VT_MAP) return VALUE_INCOMPATIBLE_TYPE;
  *count = static_cast<int32_t>(Node(v)->items.size());
  return VALUE_OK;
}

uint32_t ValueNthElementValue(const VEngineValue* v, int32_t n, VEngineValue* out) {
  if (v == nullptr || out == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_ARRAY && v->t != VT_MAP) return VALUE_INCOMPATIBLE_TYPE;
  const TNode* node = Node(v);
  if (n < 0 || static_cast<size_t>(n) >= node->items.size()) return VALUE_BAD_PARAMETER;
  return ValueCopy(out, &node->items[static_cast<size_t>(n)]);
}

uint32_t ValueNthElementKey(const VEngineValue* v, int32_t n, VEngineValue* out) {
  if (v == nullptr || out == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_MAP) return VALUE_INCOMPATIBLE_TYPE;
  const TNode* node = Node(v);
  if (n < 0 || static_cast<size_t>(n) >= node->keys.size()) return VALUE_BAD_PARAMETER;
  return ValueCopy(out, &node->keys[static_cast<size_t>(n)]);
}

uint32_t ValueNthElementValueSet(VEngineValue* v, int32_t n, const VEngineValue* e) {
  if (v == nullptr || e == nullptr || n < 0) return VALUE_BAD_PARAMETER;
  if (v->t != VT_ARRAY) SetNode(v, VT_ARRAY, 0);
  TNode* node = Node(v);
  while (node->items.size() <= static_cast<size_t>(n)) {
    node->items.emplace_back();
    ValueInit(&node->items.back());
  }
  return ValueCopy(&node->items[static_cast<size_t>(n)], e);
}

uint32_t ValueSetValueToKey(VEngineValue* v, const VEngineValue* key, const VEngineValue* e) {
  if (v == nullptr || key == nullptr || e == nullptr) return VALUE_BAD_PARAMETER;
  if (v->t != VT_MAP) SetNode(v, VT_MAP, 0);
  TNode* node = Node(v);
  const std::string keyjson = ValueToJson(*key);
  for (size_t i = 0; i < node->keys.size(); ++i) {
    if (ValueToJson(node->keys[i]) == keyjson) return ValueCopy(&node->items[i], e);
  }
  node->keys.emplace_back();
  ValueInit(&node->keys.back());
  ValueCopy(&node->keys.back(), key);
  node->items.emplace_back();
  ValueInit(&node->items.back());
  return ValueCopy(&node->items.back(), e);
}

uint32_t ValueToString(const VEngineValue* v, uint32_t mode, VEngineValue* out) {
  if (v == nullptr || out == nullptr) return VALUE_BAD_PARAMETER;
  std::string text;
  if (mode == VCVT_SIMPLE && v->t == VT_STRING) {
    text = Node(v)->bytes;
  } else if (mode == VCVT_SIMPLE && v->t == VT_UNDEFINED) {
    text = "undefined";
  } else {
    text = ValueToJson(*v);
  }
  return ValueStringDataSet(out, text.data(), text.size(), 0);
}

uint32_t ValueMakeEmpty(VEngineValue* v, uint32_t type) {
  if (v == nullptr) return VALUE_BAD_PARAMETER;
  if (type != VT_ARRAY && type != VT_MAP) return VALUE_INCOMPATIBLE_TYPE;
  SetNode(v, type, 0);
  return VALUE_OK;
}

std::string ValueToJson(const VEngineValue& v) {
  std::string out;
  AppendJson(out, v);
  return out;
}

}  // namespace vantrel::engine
