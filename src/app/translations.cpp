#include "app/translations.h"

#include <optional>

namespace vantrel::app {

namespace {

// A double-quoted string at text[i] (escapes \" \\ \n \t and \/), or nullopt.
std::optional<std::string> ReadQuoted(const std::string& text, size_t& i) {
  if (i >= text.size() || text[i] != '"') return std::nullopt;
  std::string out;
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      ++i;
      return out;
    }
    if (c == '\n') return std::nullopt;
    if (c == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    } else {
      out += c;
    }
  }
  return std::nullopt;
}

void SkipBlanks(const std::string& text, size_t& i) {
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
}

}  // namespace

TTranslationTable TTranslationTable::Parse(const std::string& text) {
  TTranslationTable table;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '"') {
      ++i;
      continue;
    }
    auto key = ReadQuoted(text, i);
    if (!key) continue;
    SkipBlanks(text, i);
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    SkipBlanks(text, i);
    auto value = ReadQuoted(text, i);
    if (!value) continue;
    table.entries_[*key] = *value;
  }
  return table;
}

std::string TTranslationTable::Translate(const std::string& key) const {
  const auto it = entries_.find(key);
  return it != entries_.end() ? it->second : key;
}

std::string TTranslationTable::StatusText(const std::string& key, const std::string& value) const {
  std::string text = Translate(key);
  if (value.empty()) return text;
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace vantrel::app
