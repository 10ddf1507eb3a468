// The binding without a window: loading the engine library and its errors,
// the conversions between engine values and TVariant, and the res: name
// rule.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "ui/engine_binding.h"
#include "ui/engine_host.h"

namespace vantrel::ui {
namespace {

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(EngineBindingTest, LoadErrorsNameTheLibrary) {
  // Nothing loaded yet in this process.
  EXPECT_EQ(ErrorOf([] { ScriptApi(); }), "libvantrel-engine.so is not loaded.");
  testing::TTempDir dir;
  SetEngineLibraryFolder(dir.Path());
  EXPECT_EQ(ErrorOf([] { EngineApi(); }), "Failed to load libvantrel-engine.so.");
  // A library without the entry point.
  std::filesystem::copy_file("/lib/x86_64-linux-gnu/libz.so.1", dir.File("libvantrel-engine.so"));
  EXPECT_EQ(ErrorOf([] { EngineApi(); }), "Failed to get pointer to VantrelEngineAPI function.");
  EXPECT_FALSE(EngineLoaded());
  // Each failure is tried again: the real library loads next.
  SetEngineLibraryFolder(VANTREL_ENGINE_DIR);
  EXPECT_NE(EngineApi(), nullptr);
  EXPECT_NE(ScriptApi(), nullptr);
}

TEST(EngineBindingTest, ResourceNameRule) {
  struct Case {
    const char* url;
    const char* name;
  } cases[] = {
      {"res:default.htm", "DEFAULT_HTM"},
      {"res:main.tis", "MAIN_TIS"},
      {"res:checkbox_checked.png", "CHECKBOX_CHECKED_PNG"},
      {"res:PlayfairDisplayBold.ttf", "PLAYFAIRDISPLAYBOLD_TTF"},
      {"res:a-b.c.d", "A_B_C_D"},
      {"res:res:x", "RES:X"},  // only the first "res:" goes
      {"RES:main.tis", ""},    // not ours
      {"http://x/res:a", ""},
      {"res:", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(ResourceNameForUrl(c.url), c.name);
  }
}

class ValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEngineLibraryFolder(VANTREL_ENGINE_DIR);
    api_ = EngineApi();
  }
  const VEngineApi* api_ = nullptr;
};

TEST_F(ValuesTest, VariantsRoundTrip) {
  auto record = std::make_shared<TRecord>();
  record->fields.push_back({"count", TRecordField::TKind::Integer, 0, 5, 0, "", {}});
  record->fields.push_back({"on", TRecordField::TKind::Boolean, 0, 1, 0, "", {}});
  record->fields.push_back({"kind", TRecordField::TKind::Enumeration, 0, 2, 0, "", {}});
  record->fields.push_back({"name", TRecordField::TKind::String, 0, 0, 0, "n\"x", {}});
  record->fields.push_back({"when", TRecordField::TKind::Float, 0, 0, 45293.5, "", {}});
  record->fields.push_back(
      {"list", TRecordField::TKind::Array, 0, 0, 0, "", {TVariant(1), TVariant::Bool(false), "s"}});
  struct Case {
    const char* label;
    TVariant in;
    uint32_t enginetype;
    TVariant out;
  } cases[] = {
      {"empty", TVariant(), VT_UNDEFINED, TVariant()},
      {"null stays undefined", TVariant::Null(), VT_UNDEFINED, TVariant()},
      {"int 5", TVariant(5), VT_INT, TVariant(5)},
      {"int8", TVariant::Int(-3, TVarType::Int8), VT_INT, TVariant(-3)},
      {"uint16", TVariant::Int(65535, TVarType::UInt16), VT_INT, TVariant(65535)},
      {"uint32 to 32 bits", TVariant::Int(0xFFFFFFFFLL, TVarType::UInt32), VT_INT, TVariant(-1)},
      {"int64 to 32 bits", TVariant::Int(0x100000007LL, TVarType::Int64), VT_INT, TVariant(7)},
      {"single", TVariant::Float(0.5, TVarType::Single), VT_FLOAT, TVariant::Float(0.5)},
      {"double", TVariant::Float(-1e300), VT_FLOAT, TVariant::Float(-1e300)},
      {"currency", TVariant::Currency(123456), VT_CURRENCY, TVariant::Currency(123456)},
      {"date", TVariant::Date(45293.5), VT_DATE, TVariant::Date(45293.5)},
      {"string", TVariant("t\xc3\xa9xt"), VT_STRING, TVariant("t\xc3\xa9xt")},
      {"bool", TVariant::Bool(true), VT_BOOL, TVariant::Bool(true)},
      {"array", TVariant::Array({1, "a", TVariant::Array({})}), VT_ARRAY,
       TVariant::Array({1, "a", TVariant::Array({})})},
      {"empty array", TVariant::Array({}), VT_ARRAY, TVariant::Array({})},
      {"record to map, back as its literal", TVariant::Record(record), VT_MAP,
       TVariant(R"({"count":5,"on":true,"kind":2,"name":"n\"x","when":1704196800000,)"
                R"("list":[1,false,"s"]})")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TEngineValue v;
    EXPECT_EQ(VariantToEngineValue(c.in, v.get()), 0u);
    EXPECT_EQ(v.get().t, c.enginetype);
    TVariant back = TVariant::Int(99);
    EXPECT_EQ(EngineValueToVariant(v.get(), back), 0u);
    EXPECT_TRUE(back == c.out) << static_cast<int>(back.Type()) << " " << back.AsString();
  }
}

TEST_F(ValuesTest, ConversionErrors) {
  TEngineValue length, bytes;
  api_->ValueFloatDataSet(&length.get(), 1.0, VT_LENGTH, 1);
  const uint8_t raw[] = {1, 2};
  api_->ValueBinaryDataSet(&bytes.get(), raw, sizeof raw, VT_BYTES, 0);
  const VEngineValue function{VT_FUNCTION, 0, 0}, dom{VT_DOM_OBJECT, 0, 0}, odd{42, 0, 0};
  struct Case {
    const char* label;
    const VEngineValue* value;
    const char* error;
  } toVariant[] = {
      {"length", &length.get(), "Cannot convert T_LENGTH to Variant (not implemented)."},
      {"function", &function, "Cannot convert T_FUNCTION to Variant (not implemented)."},
      {"bytes", &bytes.get(), "Cannot convert T_BYTES to Variant (not implemented)."},
      {"dom object", &dom, "Cannot convert T_DOM_OBJECT to Variant (not implemented)."},
      {"unknown", &odd, "Conversion from engine type 42 to Variant is not implemented."},
  };
  for (const Case& c : toVariant) {
    SCOPED_TRACE(c.label);
    TVariant out;
    EXPECT_EQ(ErrorOf([&] { EngineValueToVariant(*c.value, out); }), c.error);
  }
  auto badfield = std::make_shared<TRecord>();
  badfield->fields.push_back({"p", TRecordField::TKind::Other, 14, 0, 0, "", {}});
  auto badelement = std::make_shared<TRecord>();
  badelement->fields.push_back(
      {"a", TRecordField::TKind::Array, 0, 0, 0, "", {TVariant::Float(1.5)}});
  struct Back {
    const char* label;
    TVariant in;
    const char* error;
  } toEngine[] = {
      {"uint64", TVariant::Other(TVarType::UInt64),
       "Cannot convert VARIANT of type 21 to engine value."},
      {"error code", TVariant::Other(TVarType::Error),
       "Cannot convert VARIANT of type 10 to engine value."},
      {"record field", TVariant::Record(badfield),
       "Cannot convert record field of type 14 to engine value."},
      {"array element", TVariant::Record(badelement),
       "Cannot convert array element of type 5 to engine value."},
  };
  for (const Back& c : toEngine) {
    SCOPED_TRACE(c.label);
    TEngineValue v;
    EXPECT_EQ(ErrorOf([&] { VariantToEngineValue(c.in, v.get()); }), c.error);
  }
}

}  // namespace
}  // namespace vantrel::ui
