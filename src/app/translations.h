// A translation table of the page (one script object literal of
// "key": "text" entries) and the status line built from it the way the
// page builds it. Read-only once parsed; any thread may use it.
#pragma once

#include <map>
#include <string>

namespace vantrel::app {

class TTranslationTable {
 public:
  // Reads the entries of a table text (its byte-order mark already
  // dropped). Text that is not an entry is skipped; a later entry of the
  // same key replaces an earlier one.
  static TTranslationTable Parse(const std::string& text);

  // The text of a key; the key itself when the table lacks it.
  std::string Translate(const std::string& key) const;
  // The status line: the key's text alone when value is empty, otherwise
  // the text with value put in place of its "%s" (a text without "%s" is
  // shown unchanged).
  std::string StatusText(const std::string& key, const std::string& value) const;
  size_t Count() const { return entries_.size(); }

 private:
  std::map<std::string, std::string> entries_;
};

}  // namespace vantrel::app
