// TVariant: the host's variant values, the launcher's side of the values
// exchanged with the page (arguments of page calls, their results). Codes
// follow the host variant type codes; records carry a shared description.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::ui {

enum class TVarType : uint16_t {
  Empty = 0,
  Null = 1,
  Int16 = 2,
  Int32 = 3,
  Single = 4,
  Double = 5,
  Currency = 6,  // 64-bit, in ten-thousandths
  Date = 7,      // days since 1899-12-30, fraction for the time of day
  String = 8,
  Error = 10,
  Bool = 11,
  Int8 = 16,
  UInt8 = 17,
  UInt16 = 18,
  UInt32 = 19,
  Int64 = 20,
  UInt64 = 21,
  Record = 0x0100,  // TRecordVariantType: a record and its description
  Array = 0x2000,
};

class TVariant;

// One field of a record as the record variant type describes it.
struct TRecordField {
  enum class TKind { Integer, Boolean, Enumeration, String, Float, Array, Other };
  std::string name;
  TKind kind = TKind::Integer;
  int32_t typecode = 0;  // the field's type code (for the errors of Other kinds)
  int64_t integer = 0;   // Integer, Boolean (0/1), Enumeration (ordinal)
  double number = 0;     // Float: a date-time
  std::string text;      // String
  std::vector<TVariant> elements;  // Array
};

struct TRecord {
  std::vector<TRecordField> fields;  // in declaration order
};

class TVariant {
 public:
  TVariant() = default;
  static TVariant Null() { return Make(TVarType::Null); }
  static TVariant Bool(bool b) { auto v = Make(TVarType::Bool); v.int_ = b; return v; }
  static TVariant Int(int64_t n, TVarType type = TVarType::Int32) { auto v = Make(type); v.int_ = n; return v; }
  static TVariant Float(double x, TVarType type = TVarType::Double) { auto v = Make(type); v.float_ = x; return v; }
  static TVariant Currency(int64_t tenthousandths) { return Int(tenthousandths, TVarType::Currency); }
  static TVariant Date(double days) { return Float(days, TVarType::Date); }
  static TVariant String(std::string s) { auto v = Make(TVarType::String); v.string_ = std::move(s); return v; }
  static TVariant Array(std::vector<TVariant> items) { auto v = Make(TVarType::Array); v.array_ = std::move(items); return v; }
  static TVariant Record(std::shared_ptr<const TRecord> r) { auto v = Make(TVarType::Record); v.record_ = std::move(r); return v; }
  // A variant of a kind the engine does not take (for example an error code).
  static TVariant Other(TVarType type) { return Make(type); }
  // Implicit forms for the common kinds.
  TVariant(int32_t n) : type_(TVarType::Int32), int_(n) {}
  TVariant(const char* s) : type_(TVarType::String), string_(s) {}
  TVariant(std::string s) : type_(TVarType::String), string_(std::move(s)) {}

  TVarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == TVarType::Empty; }
  int64_t AsInt() const { return int_; }
  bool AsBool() const { return int_ != 0; }
  double AsFloat() const { return float_; }
  const std::string& AsString() const { return string_; }
  const std::vector<TVariant>& AsArray() const { return array_; }
  const std::shared_ptr<const TRecord>& AsRecord() const { return record_; }

  bool operator==(const TVariant& o) const {
    return type_ == o.type_ && int_ == o.int_ && float_ == o.float_ && string_ == o.string_ &&
           array_ == o.array_ && record_ == o.record_;
  }

 private:
  static TVariant Make(TVarType t) { TVariant v; v.type_ = t; return v; }
  TVarType type_ = TVarType::Empty;
  int64_t int_ = 0;
  double float_ = 0;
  std::string string_;
  std::vector<TVariant> array_;
  std::shared_ptr<const TRecord> record_;  // shared: copies refer to the same record
};

}  // namespace vantrel::ui
