#include "app/status_view.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/translations.h"
#include "platform/text_file.h"
#include "support/temp_dir.h"

namespace vantrel::app {
namespace {

TTranslationTable EnglishTable() {
  const auto bytes = testing::ReadFileBytes(VANTREL_SOURCE_DIR "/src/ui/res/en.tis");
  return TTranslationTable::Parse(platform::DecodeText(bytes));
}

TEST(TranslationTableTest, EnglishTableAsThePageShowsIt) {
  const TTranslationTable en = EnglishTable();
  EXPECT_EQ(en.Count(), 48u);
  struct Case {
    std::string key, value, text;
  } cases[] = {
      {"ApplicationReady", "", "The game is ready, press the Play button to launch it."},
      {"CheckingFile", "\\bin32\\a.dll", "Checking files"},  // no placeholder: value not shown
      {"ServerStatus", "online", "Server status: online"},
      {"ServerStatus", "", "Server status: %s"},
      {"ConnectError", "", "Couldn't connect to server!"},
      {"LangFrBtnCaption", "",
       "Fran\xC3\xA7"
       "ais"},
      {"NoSuchKey", "", "NoSuchKey"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(en.StatusText(c.key, c.value), c.text);
  }
}

TEST(TranslationTableTest, ParsesEscapesAndSkipsOtherText) {
  const TTranslationTable t = TTranslationTable::Parse(
      "({\r\n\"A\": \"say \\\"hi\\\"\",\n// note\n\"B\" :  \"back\\\\slash\"\n\"A\": \"again\"})");
  EXPECT_EQ(t.Count(), 2u);
  EXPECT_EQ(t.Translate("A"), "again");
  EXPECT_EQ(t.Translate("B"), "back\\slash");
}

// Everything the view printed, after the calls of body.
template <typename Body>
std::string Printed(bool terminal, Body body) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  const TTranslationTable en = EnglishTable();
  {
    TStatusView view(out, terminal, en, 100);
    body(view);
  }
  std::fclose(out);
  std::string text(buf, len);
  std::free(buf);
  return text;
}

TStatusSnapshot Status(const std::string& key, const std::string& value, int32_t progress,
                       const std::string& size = "", const std::string& speed = "") {
  TStatusSnapshot s;
  s.StatusMessage = key;
  s.StatusMessageValue = value;
  s.ProgressBarChange = progress;
  s.SizeMessage = size;
  s.SpeedMessage = speed;
  return s;
}

TEST(StatusViewTest, PlainLinesOnStatusChangesAndProgressAtAModestRate) {
  const std::string out = Printed(false, [](TStatusView& v) {
    v.Show(Status("CheckingUpdate", "", -1), 0);
    v.Show(Status("CheckingUpdate", "", -1), 200);
    v.Show(Status("CheckingFile", "\\a", 0), 400);
    v.Show(Status("CheckingFile", "\\b", 0), 600);  // same text: no line
    v.Show(Status("DownloadingAndUnpackingFiles", "", 1000, "1.0MB / 10.0MB", "2.00MB/s"), 800);
    v.Show(Status("DownloadingAndUnpackingFiles", "", 2000, "2.0MB / 10.0MB", "2.00MB/s"), 1000);
    v.Show(Status("DownloadingAndUnpackingFiles", "", 5000, "5.0MB / 10.0MB", "2.00MB/s"), 2800);
    v.Show(Status("ApplicationReady", "", 10000), 3000);
  });
  EXPECT_EQ(out,
            "Checking for updates...\n"
            "Checking files\n"
            "Downloading and unpacking files\n"
            "   10.0%  1.0MB / 10.0MB  2.00MB/s\n"
            "   50.0%  5.0MB / 10.0MB  2.00MB/s\n"
            "The game is ready, press the Play button to launch it.\n"
            "  100.0%\n");
}

TEST(StatusViewTest, TerminalRedrawsOneLineWithABar) {
  const std::string out = Printed(true, [](TStatusView& v) {
    v.Show(Status("DownloadingAndUnpackingFiles", "", 5000, "5.0MB / 10.0MB", "1.00MB/s"), 0);
    v.Show(Status("DownloadingAndUnpackingFiles", "", 5000, "5.0MB / 10.0MB", "1.00MB/s"), 200);
    v.Show(Status("ClientFSSave", "", -1), 400);
    v.Finish();
  });
  EXPECT_EQ(out,
            "\r\033[KDownloading and unpacking files  [############............]  50.0%  5.0MB / "
            "10.0MB  1.00MB/s"
            "\n\r\033[KSave client data...\n");
}

}  // namespace
}  // namespace vantrel::app
