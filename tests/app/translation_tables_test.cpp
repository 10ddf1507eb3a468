// The page's four translation tables: their form line by line, the key
// order they share, and the texts that must stay exactly as written. Each
// table is also read by the front ends' parser, which must see every entry.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "app/translations.h"
#include "platform/text_file.h"
#include "support/temp_dir.h"

namespace vantrel::app {
namespace {

// Every key, in the order each table lists them.
constexpr std::array<const char*, 48> kKeys = {
    "HostsCantClearError", "MainFormCaption", "CheckingUpdate", "ConnectError",
    "NewsLoadError", "VersionCheckError", "DownloadError", "UpdateReady",
    "ApplicationReady", "ClientCorrupted", "GetLatestFileList", "RepairError",
    "RemoveDeletedFiles", "CheckingFile", "DownloadingFile", "UnpackingFile",
    "DownloadingAndUnpackingFiles", "UpdateError", "ComputingFiles", "LaunchError",
    "GameStarting", "UpdateFound", "ClientFSInit", "ClientFSUninit",
    "ClientFSSave", "RegistrationBtnCaption", "DonateBtnCaption", "ForumBtnCaption",
    "RepairBtnCaption", "PlayBtnCaption", "CancelBtnCaption", "ExitBtnCaption",
    "DiscordBtnCaption", "AccountBtnCaption", "CurLangBtnCaption", "LangRuBtnCaption",
    "LangEnBtnCaption", "LangFrBtnCaption", "LangCnBtnCaption", "CreditsCheckBoxCaption",
    "CreditsLoginCaption", "CreditsPasswordCaption", "DirectX9NotInstalled", "LoadingStatus",
    "ServerStatus", "ServerTime", "LastNewsCaption", "LastUpdatesCaption",
};

struct Table {
  std::vector<uint8_t> bytes;
  std::vector<std::string> lines;                            // after the mark
  std::vector<std::pair<std::string, std::string>> entries;  // as the lines give them
};

// Splits an entry line `"key": "text",` (the comma optional); false when the
// line has another form. Tables hold no escapes, so a quote ends a string.
bool SplitEntry(const std::string& line, bool last, std::pair<std::string, std::string>& out) {
  const std::string sep = "\": \"";
  if (line.size() < 2 || line.front() != '"') return false;
  const auto at = line.find(sep);
  if (at == std::string::npos) return false;
  std::string rest = line.substr(at + sep.size());
  if (!rest.empty() && rest.back() == ',') {
    rest.pop_back();
  } else if (!last) {
    return false;
  }
  if (rest.empty() || rest.back() != '"') return false;
  rest.pop_back();
  out = {line.substr(1, at - 1), rest};
  return out.first.find('"') == std::string::npos && rest.find('"') == std::string::npos &&
         rest.find('\\') == std::string::npos;
}

Table ReadTable(const std::string& code) {
  Table t;
  t.bytes = testing::ReadFileBytes(VANTREL_SOURCE_DIR "/src/ui/res/" + code + ".tis");
  t.lines = platform::SplitLines(platform::DecodeText(t.bytes));
  for (size_t i = 1; i + 1 < t.lines.size(); ++i) {
    std::pair<std::string, std::string> entry;
    EXPECT_TRUE(SplitEntry(t.lines[i], i + 2 == t.lines.size(), entry))
        << code << " line " << i + 1 << ": " << t.lines[i];
    t.entries.push_back(entry);
  }
  return t;
}

std::string TextOf(const Table& t, const std::string& key) {
  for (const auto& [k, text] : t.entries) {
    if (k == key) return text;
  }
  return "(missing)";
}

struct TableCase {
  const char* code;
  const char* cur_lang;  // CurLangBtnCaption
  const char* caption;   // MainFormCaption: name, region tag, web address
};

constexpr TableCase kTables[] = {
    {"en", "ENG", "Myrefall EU - www.kestrune.example"},
    {"ru", "RUS", "Myrefall RU - www.kestrune.example"},
    {"fr", "FRA", "Myrefall FR - www.kestrune.example"},
    {"cn", "CN", "\xE8\xBF\x88\xE5\xB0\x94\xE9\x99\xA8\xE8\x90\xBD EU - www.kestrune.example"},
};

TEST(TranslationTablesTest, FormKeyOrderAndParser) {
  for (const TableCase& c : kTables) {
    SCOPED_TRACE(c.code);
    const Table t = ReadTable(c.code);
    ASSERT_GE(t.bytes.size(), 3u);
    EXPECT_EQ(t.bytes[0], 0xEF);  // UTF-8 byte-order mark
    EXPECT_EQ(t.bytes[1], 0xBB);
    EXPECT_EQ(t.bytes[2], 0xBF);
    ASSERT_GE(t.lines.size(), 2u);
    EXPECT_EQ(t.lines.front(), "({");
    EXPECT_EQ(t.lines.back(), "})");

    // The French table repeats DiscordBtnCaption right after itself.
    std::vector<std::string> expected(kKeys.begin(), kKeys.end());
    if (std::string(c.code) == "fr") {
      expected.insert(expected.begin() + 33, "DiscordBtnCaption");
    }
    std::vector<std::string> keys;
    for (const auto& e : t.entries) keys.push_back(e.first);
    EXPECT_EQ(keys, expected);

    // The parser sees every entry the lines hold, and nothing else.
    const TTranslationTable parsed = TTranslationTable::Parse(platform::DecodeText(t.bytes));
    EXPECT_EQ(parsed.Count(), kKeys.size());
    for (const auto& [key, text] : t.entries) {
      EXPECT_EQ(parsed.Translate(key), text) << key;
    }

    EXPECT_EQ(TextOf(t, "CurLangBtnCaption"), c.cur_lang);
    EXPECT_EQ(TextOf(t, "MainFormCaption"), c.caption);
    EXPECT_EQ(TextOf(t, "LangRuBtnCaption"), "Русский");
    EXPECT_EQ(TextOf(t, "LangEnBtnCaption"), "English");
    EXPECT_EQ(TextOf(t, "LangFrBtnCaption"), "Français");
    EXPECT_EQ(TextOf(t, "LangCnBtnCaption"), "中文");
    for (const auto& [key, text] : t.entries) {
      const bool formatted = key == "ServerStatus" || key == "ServerTime";
      EXPECT_EQ(text.find("%s") != std::string::npos, formatted) << key;
      EXPECT_EQ(text.find('#'), std::string::npos) << key;
    }
  }
}

// Texts that look like slips but are the tables' own: they must not be
// "corrected", nor their blanks collapsed.
TEST(TranslationTablesTest, TextsStayAsWritten) {
  struct Case {
    const char* code;
    const char* key;
    const char* text;
  } cases[] = {
      {"fr", "ApplicationReady", "Le jeu est prêt ,  appuyez sur le bouton Jouer pour le lancer."},
      {"fr", "ClientCorrupted",
       "Client Corrumpu S'il vous plaît éxécuter la réparation manuellement."},
      {"fr", "RepairError", "La processus de réparation a échoué."},
      {"fr", "HostsCantClearError",
       "Une application a modifié votre fichiers d'hôte , vous devez le supprimé manuellement."},
      {"fr", "ClientFSSave", "Sauvegarde des données clients"},
      {"fr", "AccountBtnCaption", "ACCOUNT"},
      {"fr", "LastUpdatesCaption", "Last update:"},
      {"ru", "ClientFSUninit", "Деинциализация файлов клиента..."},
      {"ru", "ApplicationReady", "Игра готова."},
      {"ru", "DonateBtnCaption", "КРИСТАЛЛЫ"},
      {"cn", "ClientCorrupted", "客户端已损坏。请手动运行修复程序。."},
      {"cn", "UpdateReady", "更新已就绪，请点击“更新”按钮继续."},
      {"cn", "ClientFSUninit", "卸载客户端数据…."},
      {"cn", "PlayBtnCaption", "开冲"},
      {"en", "LaunchError", "Launch Error!"},
      {"en", "CheckingFile", "Checking files"},
      {"en", "LastUpdatesCaption", "Last update:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.key);
    EXPECT_EQ(TextOf(ReadTable(c.code), c.key), c.text);
  }
}

// The French table keeps these English texts word for word.
TEST(TranslationTablesTest, FrenchKeepsEnglishTexts) {
  const Table en = ReadTable("en");
  const Table fr = ReadTable("fr");
  for (const char* key : {"AccountBtnCaption", "LoadingStatus", "ServerStatus", "ServerTime",
                          "LastNewsCaption", "LastUpdatesCaption"}) {
    EXPECT_EQ(TextOf(fr, key), TextOf(en, key)) << key;
  }
}

TEST(TranslationTablesTest, ServerTextsFormatInEveryTable) {
  struct Case {
    const char* code;
    const char* key;
    const char* text;
  } cases[] = {
      {"en", "ServerTime", "Server time: 12:30"},
      {"ru", "ServerTime", "Серверное время: 12:30"},
      {"fr", "ServerStatus", "Server status: 12:30"},
      {"cn", "ServerStatus", "服务器状态: 12:30"},
      {"cn", "CheckingFile", "检查文件"},  // no placeholder: the value is not shown
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.key);
    const Table t = ReadTable(c.code);
    const TTranslationTable parsed = TTranslationTable::Parse(platform::DecodeText(t.bytes));
    EXPECT_EQ(parsed.StatusText(c.key, "12:30"), c.text);
  }
}

}  // namespace
}  // namespace vantrel::app
