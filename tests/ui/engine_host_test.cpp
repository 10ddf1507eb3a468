// The host object and the binding against the real engine, in this process:
// a window of its own under a virtual display, showing the test page from
// this program's resources.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/resources.h"
#include "support/xvfb_fixture.h"
#include "ui/engine_binding.h"
#include "ui/engine_host.h"

namespace vantrel::ui {

void PrintTo(const TVariant& v, std::ostream* os) {
  *os << "type " << static_cast<int>(v.Type()) << " int " << v.AsInt() << " float " << v.AsFloat()
      << " \"" << v.AsString() << "\"";
  if (v.Type() == TVarType::Array) {
    *os << " [";
    for (const auto& e : v.AsArray()) {
      PrintTo(e, os);
      *os << ", ";
    }
    *os << "]";
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// A native for the tests: answers its arguments, or fails when the first
// one is "fail".
void EchoNative(VEngineVM* vm, uint32_t argc, const VEngineValue* argv, VEngineValue* result,
                void*) {
  try {
    std::vector<TVariant> items(argc);
    for (uint32_t i = 0; i < argc; ++i) EngineValueToVariant(argv[i], items[i]);
    if (argc > 0 && items[0] == TVariant("fail")) {
      ThrowScriptError(vm, "asked to fail");
      return;
    }
    VariantToEngineValue(TVariant::Array(items), *result);
  } catch (const std::exception& e) {
    ThrowScriptError(vm, e.what());
  }
}

class EngineHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new testing::TXvfb;
    SetEngineLibraryFolder(VANTREL_ENGINE_DIR);
    const VEngineApi* api = EngineApi();
    char error[256] = {0};
    window_ = api->CreateWindow("host test", error, sizeof error);
    ASSERT_NE(window_, nullptr) << error;
    api->SetOption(window_, VENGINE_ALPHA_WINDOW, 1);
    host_ = new TEngineHost(window_, platform::ExecutableResources());
    host_->SetReporter([](const std::string& text) { reports_.push_back(text); });
    host_->SetupCallback();
    host_->RegisterNativeFunction("TestEcho", EchoNative);
    api->LoadFile(window_, "res:default.htm");
    api->ShowWindow(window_);
    // Each call runs the main loop until the page answers.
    TVariant ready;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && !(host_->TryCall("IsReady", {}, ready) && ready.AsBool())) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(ready.AsBool());
  }

  void SetUp() override { reports_.clear(); }

  static testing::TXvfb* xvfb_;
  static VEngineWindow* window_;
  static TEngineHost* host_;
  static std::vector<std::string> reports_;
};

testing::TXvfb* EngineHostTest::xvfb_ = nullptr;
VEngineWindow* EngineHostTest::window_ = nullptr;
TEngineHost* EngineHostTest::host_ = nullptr;
std::vector<std::string> EngineHostTest::reports_;

TEST_F(EngineHostTest, ServesResUrlsByTheNameRule) {
  struct Case {
    const char* url;
    const char* answer;
  } cases[] = {
      {"res:a-b.c.d", "application/octet-stream a-b.c.d served\n"},
      {"res:A-B.C.D", "application/octet-stream a-b.c.d served\n"},
      {"res:test.css", nullptr},  // checked by prefix below
      {"res:missing.png", "HTTP 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    TVariant r;
    ASSERT_TRUE(host_->TryCall("FetchText", {c.url}, r));
    if (c.answer != nullptr) {
      EXPECT_EQ(r.AsString(), c.answer);
    } else {
      EXPECT_EQ(r.AsString().rfind("text/css html,", 0), 0u) << r.AsString();
    }
  }
  TVariant js;
  ASSERT_TRUE(host_->TryCall("FetchText", {"res:test.js"}, js));
  EXPECT_EQ(js.AsString().rfind("text/javascript ", 0), 0u);
  // A name without a resource is not reported.
  EXPECT_TRUE(reports_.empty());
}

TEST_F(EngineHostTest, CallsPageFunctions) {
  std::vector<TVariant> args;
  for (int i = 0; i < 256; ++i) args.emplace_back(i);
  TVariant r;
  ASSERT_TRUE(host_->TryCall("Count", args, r));
  EXPECT_EQ(r, TVariant(256));
  args.emplace_back(256);
  try {
    host_->TryCall("Count", args, r);
    ADD_FAILURE() << "257 arguments were passed";
  } catch (const EEngineException& e) {
    EXPECT_STREQ(e.what(), "Too many arguments.");
  }
  // A promise is awaited.
  ASSERT_TRUE(host_->TryCall("Later", {21}, r));
  EXPECT_EQ(r, TVariant(42));
  // A function the page does not define, or one that throws.
  r = TVariant(1);
  EXPECT_FALSE(host_->TryCall("NoSuchFunction", {}, r));
  EXPECT_TRUE(r.IsEmpty());
  EXPECT_FALSE(host_->TryCall("Fails", {}));
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(host_->Call("NoSuchFunction", {1}).IsEmpty());
  EXPECT_EQ(reports_, std::vector<std::string>{"Method \"NoSuchFunction\" call failed."});
}

TEST_F(EngineHostTest, ValuesRoundTripThroughThePage) {
  auto record = std::make_shared<TRecord>();
  record->fields.push_back({"n", TRecordField::TKind::Integer, 0, 5, 0, "", {}});
  record->fields.push_back({"s", TRecordField::TKind::String, 0, 0, 0, "x", {}});
  struct Case {
    const char* label;
    TVariant in;
    TVariant out;
  } cases[] = {
      {"int", TVariant(5), TVariant(5)},
      {"negative int", TVariant(-7), TVariant(-7)},
      {"int64 as 32 bits", TVariant::Int(0x100000005LL, TVarType::Int64), TVariant(5)},
      {"bool", TVariant::Bool(true), TVariant::Bool(true)},
      {"double", TVariant::Float(2.5), TVariant::Float(2.5)},
      {"integral double comes back as int", TVariant::Float(3.0), TVariant(3)},
      {"string", TVariant("h\xc3\xa9llo \"q\"\n"), TVariant("h\xc3\xa9llo \"q\"\n")},
      {"empty string", TVariant(""), TVariant("")},
      {"null", TVariant::Null(), TVariant::Null()},
      {"empty becomes null", TVariant(), TVariant::Null()},
      {"nested array",
       TVariant::Array({TVariant(1), TVariant::Array({TVariant("a")}), TVariant::Array({})}),
       TVariant::Array({TVariant(1), TVariant::Array({TVariant("a")}), TVariant::Array({})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TVariant r;
    ASSERT_TRUE(host_->TryCall("Echo", {c.in}, r));
    ASSERT_EQ(r.Type(), TVarType::Array);
    ASSERT_EQ(r.AsArray().size(), 1u);
    EXPECT_EQ(r.AsArray()[0], c.out);
  }
  TVariant r;
  // A record goes as a map and comes back as its literal.
  ASSERT_TRUE(host_->TryCall("Echo", {TVariant::Record(record)}, r));
  ASSERT_EQ(r.AsArray().size(), 1u);
  const std::string literal = r.AsArray()[0].AsString();
  EXPECT_NE(literal.find("\"n\":5"), std::string::npos) << literal;
  EXPECT_NE(literal.find("\"s\":\"x\""), std::string::npos) << literal;
  ASSERT_TRUE(host_->TryCall("ReturnsDate", {}, r));
  EXPECT_EQ(r.Type(), TVarType::Date);
  // 2024-01-02 03:04:05 UTC as days since 1899-12-30.
  EXPECT_NEAR(r.AsFloat(), 45293.0 + (3 * 3600 + 4 * 60 + 5) / 86400.0, 1e-9);
  // A map arrives as its literal (the order of its keys is the engine's).
  ASSERT_TRUE(host_->TryCall("ReturnsMap", {}, r));
  ASSERT_EQ(r.Type(), TVarType::String);
  for (const char* part : {"\"a\":1", "\"b\":\"x\"", "\"c\":[true,null]"}) {
    EXPECT_NE(r.AsString().find(part), std::string::npos) << r.AsString();
  }
}

TEST_F(EngineHostTest, NativesAnswerThePageAndRegisterOnce) {
  TVariant r;
  ASSERT_TRUE(host_->TryCall("CallNative", {"TestEcho", 1, "two", TVariant::Bool(false)}, r));
  EXPECT_EQ(r, TVariant::Array({"ok", TVariant::Array({1, "two", TVariant::Bool(false)})}));
  // The page's messages carry null as undefined.
  ASSERT_TRUE(host_->TryCall("CallNative", {"TestEcho", TVariant::Float(1.5), TVariant::Null()}, r));
  EXPECT_EQ(r, TVariant::Array({"ok", TVariant::Array({TVariant::Float(1.5), TVariant()})}));
  ASSERT_TRUE(host_->TryCall("CallNative", {"TestEcho", "fail"}, r));
  EXPECT_EQ(r, TVariant::Array({"rejected", "asked to fail"}));

  VEngineVM* vm = host_->GetHVM();
  EXPECT_FALSE(RegisterScriptFunction(vm, "TestEcho", EchoNative, false, nullptr));
  EXPECT_TRUE(ScriptNameExists(vm, "TestEcho"));
  struct Case {
    const char* name;
    bool failIfExists;
    const char* error;
  } cases[] = {
      {"TestEcho", true,
       "Failed to register native function TestEcho. Object with same name already exists."},
      {"Engine", false,
       "Cannot register native function \"Engine\" (unexpected error). Seems that object with "
       "same name already exists."},
      {"not-a-name", false, "Failed to register native function \"not-a-name\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      RegisterScriptFunction(vm, c.name, EchoNative, c.failIfExists, nullptr);
      ADD_FAILURE() << "registered";
    } catch (const EVantrelError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
  // The first function is still the one that answers.
  ASSERT_TRUE(host_->TryCall("CallNative", {"TestEcho", 3}, r));
  EXPECT_EQ(r, TVariant::Array({"ok", TVariant::Array({3})}));
}

TEST_F(EngineHostTest, OnCloseFinishedFromAnotherThreadRunsOnce) {
  std::thread([] { host_->OnCloseFinished(7); }).join();
  TVariant calls;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    ASSERT_TRUE(host_->TryCall("CloseCalls", {}, calls));
    if (!calls.AsArray().empty()) break;
  }
  // A few more turns of the main loop add nothing.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(host_->TryCall("CloseCalls", {}, calls));
  EXPECT_EQ(calls, TVariant::Array({7}));
  EXPECT_TRUE(reports_.empty());
}

}  // namespace
}  // namespace vantrel::ui
