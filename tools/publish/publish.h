// The publisher: turns a client folder and a launcher binary into the tree
// a download server serves from its base URL ("client.version",
// "build.version", "launcher.version" and the transfer files), and prints
// version lists and records as JSON. Single-threaded; one publish of a
// given server folder at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantrel::publish {

// Server-relative file of a key's own transfer form, as the download worker
// requests it: "\" becomes "/", every "#" becomes "11223344556677889900",
// ".u" is appended, the leading "/" is dropped ("\bin32\a#b.dll" gives
// "bin32/a11223344556677889900b.dll.u").
std::string TransferPathOfKey(const std::string& key);
// Server-relative file of the combined transfer form of a key's folder in
// the folder-split layout: "\bin32\a.dll" gives "bin32.u", a file at the top
// ("\a.dll") gives ".u".
std::string TransferPathOfFolder(const std::string& key);

// Name of the builder list kept in the server folder: the published list
// plus each file's installed size and modification time. A rebuild keeps a
// transfer file when the file's contents digest (the list's hash) and size
// are unchanged.
inline constexpr const char* kBuilderListName = "builder.version";

struct TPublishOptions {
  std::string clientdir;      // the client's files; keys are "\" + relative path
  std::string launcherfile;   // the launcher executable to publish
  std::string outdir;         // the server folder (created when missing)
  int32_t updateversion = 0;  // build number, above 0
  int layout = 5;             // 3, 4 or 5
  bool foldersplit = false;   // one transfer file per folder (layout 5 only)
  bool compressall = true;
  std::string exclude;  // ";"-separated key suffixes that invert compressall
  // Name of the launcher as the launcher's configuration has it; empty: the
  // file name of launcherfile.
  std::string launchername;
  // The launcher's LauncherFolder setting; the transfer file is fetched as
  // launcherfolder + launchername (concatenated as they stand).
  std::string launcherfolder = "\\";
  // Called with one line per transfer file written and per stale
  // file removed. May be empty.
  std::function<void(const std::string&)> progress;
  // The private key that signs the release: "release.version" is written
  // with the three version files. Empty: no record; a tree that holds one
  // is then refused (it would no longer match).
  std::string signkeyfile;
  int64_t validseconds = 30 * 86400;  // how long the record is valid
  int64_t signedat = 0;               // seconds since 1970 (UTC); 0: now
};

struct TPublishResult {
  int files = 0;    // entries of the published list
  int written = 0;  // transfer files written (launcher's included)
  int kept = 0;     // transfer files left as they were
  int removed = 0;  // stale transfer files removed
  int64_t clientversionsize = 0;
  int32_t launchersize = 0;  // bytes of the launcher's transfer file
  std::string launcherpath;  // its server-relative path
  std::vector<std::string> warnings;
  bool signedrelease = false;  // "release.version" was written
  std::string keyid;           // the signing key's id (hex)
  int64_t expiresat = 0;       // the record's expiry (seconds since 1970, UTC)
};

// Builds or updates the server tree. Every transfer file is written under a
// temporary name and renamed into place; "client.version", "build.version"
// and "launcher.version" (and, when signing, "release.version") are
// replaced only after every transfer file they name is in place, and stale
// transfer files are removed after that.
// Raises EVantrelError with a message for the operator on bad options
// (missing folder, unreadable file, bad update version, colliding names,
// names differing only in letter case, a pack name over 260 bytes, a file
// larger than the client's pack holds) and on file errors.
TPublishResult Publish(const TPublishOptions& options);

// JSON text describing a version list (header and entries), a
// "launcher.version", "build.version" or "release.version" record. The kind
// is told by the contents: a file of 36 or 24 bytes whose digest matches,
// or of 284 bytes that starts with the release record's magic, is a record;
// anything else is read as a version list (isbuilder: a builder list).
// Raises EVantrelError when the file cannot be read or is none of these.
std::string InspectFile(const std::string& path, bool isbuilder = false);

}  // namespace vantrel::publish
