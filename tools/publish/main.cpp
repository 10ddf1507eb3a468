// vantrel-publish: the operator's tool that writes a download-server tree
// from a client folder and a launcher, and prints version files as JSON.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "publish/publish.h"
#include "publish/release_signing.h"
#include "versions/release_check.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  vantrel-publish build --client DIR --launcher FILE --out SERVERDIR --update-version N\n"
    "                        [--layout 3|4|5] [--folder-split] [--no-compress-all]\n"
    "                        [--exclude \".txt;.xml\"] [--launcher-name NAME]\n"
    "                        [--launcher-folder FOLDER] [--sign-key FILE [--valid-days N]]\n"
    "  vantrel-publish keygen --out BASE\n"
    "  vantrel-publish sign --out SERVERDIR --sign-key FILE [--valid-days N]\n"
    "                       [--launcher-name NAME] [--launcher-folder FOLDER]\n"
    "  vantrel-publish inspect [--builder] FILE\n"
    "  vantrel-publish --help | build --help | keygen --help | sign --help | inspect --help\n";

constexpr const char* kBuildHelp =
    "vantrel-publish build: writes the tree a download server serves from its base URL.\n"
    "\n"
    "Under SERVERDIR it writes client.version (the version list of the files under DIR,\n"
    "keys \"\\\" + relative path), the transfer file of every client file (\"/\" separators,\n"
    "every \"#\" written as 11223344556677889900, \".u\" appended; a zlib stream when the\n"
    "list compresses the file, its own bytes otherwise), the launcher's packed transfer\n"
    "file, build.version (24 bytes) and launcher.version (36 bytes). A rebuild reads\n"
    "every client file and rewrites only the transfer files of files whose contents\n"
    "changed (builder.version beside the output remembers each file's MD5; sizes and\n"
    "dates alone never count as unchanged) and removes those of files that are gone. The\n"
    "three version files are replaced only after every transfer file they name is in place.\n"
    "\n"
    "Refused, naming the file: a name longer than 260 bytes in the client's pack (lower\n"
    "case, \"/\" separators, no leading \"/\"), two names that differ only in letter case,\n"
    "a file larger than the pack can hold, and names that cannot be served.\n"
    "\n"
    "Options:\n"
    "  --client DIR            the client's files (required)\n"
    "  --launcher FILE         the launcher executable (required)\n"
    "  --out SERVERDIR         the server folder, created when missing (required)\n"
    "  --update-version N      build number, a positive integer (required)\n"
    "  --layout 3|4|5          version list layout (default 5)\n"
    "  --folder-split          one transfer file per folder, each file at its position\n"
    "                          (layout 5 only)\n"
    "  --no-compress-all       store files uncompressed unless --exclude names them\n"
    "  --exclude LIST          \";\"-separated key suffixes that invert the compression\n"
    "                          rule (case-sensitive; quote an item holding \";\")\n"
    "  --launcher-name NAME    the launcher's LauncherName setting (default: the file name\n"
    "                          of --launcher)\n"
    "  --launcher-folder F     the launcher's LauncherFolder setting (default \"\\\"); the\n"
    "                          transfer file is F + NAME + \".u\" under SERVERDIR\n"
    "  --sign-key FILE         sign the release with this private key (see keygen): writes\n"
    "                          release.version with the three version files. A tree that\n"
    "                          holds release.version is refused without it.\n"
    "  --valid-days N          days the signed record stays valid (default 30, at most\n"
    "                          3650); renew it with \"sign\" before then\n"
    "  --help                  this text\n";

constexpr const char* kKeygenHelp =
    "vantrel-publish keygen --out BASE: makes an Ed25519 key pair for signing releases.\n"
    "\n"
    "BASE.key is the private key (PEM, readable by its owner only): keep it off the\n"
    "download servers. BASE.pub holds one line, the public key followed by a comment: add\n"
    "that line to the ReleaseKeys file of the launcher's configuration folder. Existing\n"
    "files are never replaced.\n";

constexpr const char* kSignHelp =
    "vantrel-publish sign: signs a published tree again without rebuilding it.\n"
    "\n"
    "Reads client.version, build.version, launcher.version and the launcher's transfer\n"
    "file under SERVERDIR, checks that they form one release, and replaces\n"
    "release.version with a record signed now and valid for --valid-days. Use it to renew\n"
    "a record before it expires, to sign with a new key, or to sign an unsigned tree.\n"
    "\n"
    "Options:\n"
    "  --out SERVERDIR         the server folder (required)\n"
    "  --sign-key FILE         the private key (required)\n"
    "  --valid-days N          days the record stays valid (default 30, at most 3650)\n"
    "  --launcher-name NAME    the launcher's LauncherName setting (default Launcher.exe)\n"
    "  --launcher-folder F     the launcher's LauncherFolder setting (default \"\\\")\n"
    "  --help                  this text\n";

constexpr const char* kInspectHelp =
    "vantrel-publish inspect [--builder] FILE: prints a version list (header fields and,\n"
    "per entry, key, size, hash, compressed, chunkcrc32, posinfile), or a\n"
    "launcher.version, build.version or release.version record, as JSON. --builder\n"
    "reads FILE as a builder list (builder.version), whose entries also carry\n"
    "buildersize and builderdate.\n";

int Fail(const std::string& message) {
  std::cerr << "vantrel-publish: " << message << "\n";
  return 1;
}

int UsageError(const std::string& message) {
  std::cerr << "vantrel-publish: " << message << "\n" << kUsage;
  return 2;
}

bool ParsePositive(const std::string& text, int32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  int64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v <= 0 || v > 0x7FFFFFFF) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool ParseValidDays(const std::string& text, int64_t& seconds) {
  int32_t days = 0;
  if (!ParsePositive(text, days) || days > vantrel::publish::kMaxValidDays) return false;
  seconds = int64_t{days} * 86400;
  return true;
}

int Build(const std::vector<std::string>& args) {
  vantrel::publish::TPublishOptions o;
  bool haveversion = false;
  bool validdays = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::cout << kBuildHelp;
      return 0;
    } else if (a == "--client") {
      if (!value(o.clientdir)) return UsageError("--client needs a folder");
    } else if (a == "--launcher") {
      if (!value(o.launcherfile)) return UsageError("--launcher needs a file");
    } else if (a == "--out") {
      if (!value(o.outdir)) return UsageError("--out needs a folder");
    } else if (a == "--update-version") {
      if (!value(v)) return UsageError("--update-version needs a number");
      if (!ParsePositive(v, o.updateversion)) {
        return UsageError("the update version must be a positive integer below 2147483648: '" + v +
                          "'");
      }
      haveversion = true;
    } else if (a == "--layout") {
      if (!value(v) || (v != "3" && v != "4" && v != "5")) {
        return UsageError("--layout must be 3, 4 or 5");
      }
      o.layout = v[0] - '0';
    } else if (a == "--folder-split") {
      o.foldersplit = true;
    } else if (a == "--no-compress-all") {
      o.compressall = false;
    } else if (a == "--exclude") {
      if (!value(o.exclude)) return UsageError("--exclude needs a list");
    } else if (a == "--launcher-name") {
      if (!value(o.launchername) || o.launchername.empty()) {
        return UsageError("--launcher-name needs a name");
      }
    } else if (a == "--launcher-folder") {
      if (!value(o.launcherfolder)) return UsageError("--launcher-folder needs a folder");
    } else if (a == "--sign-key") {
      if (!value(o.signkeyfile) || o.signkeyfile.empty()) {
        return UsageError("--sign-key needs a file");
      }
    } else if (a == "--valid-days") {
      if (!value(v) || !ParseValidDays(v, o.validseconds)) {
        return UsageError("--valid-days must be a whole number of days from 1 to 3650");
      }
      validdays = true;
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
  }
  if (validdays && o.signkeyfile.empty()) return UsageError("--valid-days needs --sign-key");
  if (o.clientdir.empty()) return UsageError("--client is required");
  if (o.launcherfile.empty()) return UsageError("--launcher is required");
  if (o.outdir.empty()) return UsageError("--out is required");
  if (!haveversion) return UsageError("--update-version is required");
  o.progress = [](const std::string& line) { std::cout << line << "\n" << std::flush; };
  try {
    const vantrel::publish::TPublishResult r = vantrel::publish::Publish(o);
    for (const std::string& w : r.warnings) std::cerr << "vantrel-publish: warning: " << w << "\n";
    std::cout << "published update version " << o.updateversion << ": " << r.files << " files, "
              << r.written << " transfer files written, " << r.kept << " unchanged, " << r.removed
              << " removed; client.version " << r.clientversionsize << " bytes, launcher "
              << r.launcherpath << " " << r.launchersize << " bytes\n";
    if (r.signedrelease) {
      std::cout << "signed with key " << r.keyid.substr(0, 16) << ", valid until "
                << vantrel::FormatUtcTime(r.expiresat) << "\n";
    }
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

int Keygen(const std::vector<std::string>& args) {
  std::string base;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kKeygenHelp;
      return 0;
    } else if (a == "--out" && i + 1 < args.size() && base.empty()) {
      base = args[++i];
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
  }
  if (base.empty()) return UsageError("keygen needs --out BASE");
  try {
    const vantrel::publish::TKeygenResult r = vantrel::publish::GenerateKeyFiles(base);
    std::cout << "private key: " << r.privatefile << " (keep it secret)\n"
              << "public key:  " << r.publicfile << "\n"
              << "key id:      " << r.keyid << "\n"
              << r.publicline << "\n";
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

int Sign(const std::vector<std::string>& args) {
  vantrel::publish::TSignOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::cout << kSignHelp;
      return 0;
    } else if (a == "--out") {
      if (!value(o.outdir)) return UsageError("--out needs a folder");
    } else if (a == "--sign-key") {
      if (!value(o.signkeyfile) || o.signkeyfile.empty()) {
        return UsageError("--sign-key needs a file");
      }
    } else if (a == "--valid-days") {
      if (!value(v) || !ParseValidDays(v, o.validseconds)) {
        return UsageError("--valid-days must be a whole number of days from 1 to 3650");
      }
    } else if (a == "--launcher-name") {
      if (!value(o.launchername) || o.launchername.empty()) {
        return UsageError("--launcher-name needs a name");
      }
    } else if (a == "--launcher-folder") {
      if (!value(o.launcherfolder)) return UsageError("--launcher-folder needs a folder");
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
  }
  if (o.outdir.empty()) return UsageError("--out is required");
  if (o.signkeyfile.empty()) return UsageError("--sign-key is required");
  try {
    const vantrel::TReleaseRecord r = vantrel::publish::SignRelease(o);
    std::cout << "signed update version " << r.updateversion << " with key "
              << vantrel::KeyIdHex(r.keyid).substr(0, 16) << ", valid until "
              << vantrel::FormatUtcTime(r.expiresat) << "\n";
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

int Inspect(const std::vector<std::string>& args) {
  bool builder = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kInspectHelp;
      return 0;
    } else if (a == "--builder") {
      builder = true;
    } else if (file.empty() && !a.starts_with("--")) {
      file = a;
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
  }
  if (file.empty()) return UsageError("inspect needs a file");
  try {
    std::cout << vantrel::publish::InspectFile(file, builder);
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("a command is needed");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << "vantrel-publish: publishes a game client for the download servers.\n\n"
              << kUsage << "\nRun a command with --help for its options.\n";
    return 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "build") return Build(rest);
  if (args[0] == "keygen") return Keygen(rest);
  if (args[0] == "sign") return Sign(rest);
  if (args[0] == "inspect") return Inspect(rest);
  return UsageError("unknown command '" + args[0] + "'");
}
