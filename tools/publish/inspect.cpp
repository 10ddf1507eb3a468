#include <cstdio>
#include <sstream>

#include "platform/errors.h"
#include "platform/files.h"
#include "publish/publish.h"
#include "versions/release_check.h"
#include "versions/release_record.h"
#include "versions/update_list.h"
#include "versions/version_records.h"

namespace vantrel::publish {

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char* const kDigits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

// A JSON string; bytes that are not printable ASCII other than UTF-8 are
// passed through, control characters escaped.
std::string Quote(const std::string& text) {
  std::string s = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        s += "\\\"";
        break;
      case '\\':
        s += "\\\\";
        break;
      case '\n':
        s += "\\n";
        break;
      case '\r':
        s += "\\r";
        break;
      case '\t':
        s += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          s += buf;
        } else {
          s += static_cast<char>(c);
        }
    }
  }
  return s + "\"";
}

const char* Bool(bool b) { return b ? "true" : "false"; }

std::string Double(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

}  // namespace

std::string InspectFile(const std::string& path, bool isbuilder) {
  if (!platform::FileExists(path)) throw EVantrelError("File not found: " + path);
  TMemoryStream m;
  try {
    m.LoadFromFile(path);
  } catch (const EVantrelError& e) {
    throw EVantrelError("Cannot read " + path + ": " + e.what());
  }
  std::ostringstream j;
  TLauncherVersionRecord launcher;
  TBuildVersionRecord build;
  if (launcher.Parse(m.Bytes()) && launcher.IsDigestValid()) {
    j << "{\n  \"type\": \"launcher.version\",\n"
      << "  \"digest\": \"" << Hex(launcher.digest.data(), 16) << "\",\n"
      << "  \"launchersize\": " << launcher.launchersize << ",\n"
      << "  \"launcherhash\": \"" << Hex(launcher.launcherhash.data(), 16) << "\"\n}\n";
    return j.str();
  }
  if (build.Parse(m.Bytes()) && build.IsDigestValid()) {
    j << "{\n  \"type\": \"build.version\",\n"
      << "  \"digest\": \"" << Hex(build.digest.data(), 16) << "\",\n"
      << "  \"updateversion\": " << build.updateversion << ",\n"
      << "  \"clientversiondownsize\": " << build.clientversiondownsize << "\n}\n";
    return j.str();
  }
  TReleaseRecord release;
  if (release.Parse(m.Bytes())) {
    auto file = [&](const char* name, const TFileFingerprint& f) {
      j << "  \"" << name << "\": {\"size\": " << f.size << ", \"sha256\": \""
        << Hex(f.sha256.data(), f.sha256.size()) << "\"},\n";
    };
    j << "{\n  \"type\": \"release.version\",\n"
      << "  \"updateversion\": " << release.updateversion << ",\n"
      << "  \"signedat\": " << release.signedat << ",\n"
      << "  \"signedattext\": " << Quote(FormatUtcTime(release.signedat)) << ",\n"
      << "  \"expiresat\": " << release.expiresat << ",\n"
      << "  \"expiresattext\": " << Quote(FormatUtcTime(release.expiresat)) << ",\n";
    file("client.version", release.clientversion);
    file("build.version", release.buildversion);
    file("launcher.version", release.launcherversion);
    file("launchertransfer", release.launchertransfer);
    j << "  \"keyid\": \"" << Hex(release.keyid.data(), release.keyid.size()) << "\",\n"
      << "  \"signature\": \"" << Hex(release.signature.data(), release.signature.size())
      << "\"\n}\n";
    return j.str();
  }
  TUpdateList list;
  m.SetPosition(0);
  const bool loaded = list.LoadFromStream(m, isbuilder);
  if (!loaded && list.updateversion == 0 && list.filelist.empty()) {
    throw EVantrelError(
        path +
        " is not a version list (its digest does not match, or it holds an "
        "unsafe key), nor a launcher.version, build.version or release.version record");
  }
  j << "{\n  \"type\": \"" << (isbuilder ? "builder list" : "version list") << "\",\n"
    << "  \"loaded\": " << Bool(loaded) << ",\n"
    << "  \"structversion\": " << list.structversion << ",\n"
    << "  \"updateversion\": " << list.updateversion << ",\n"
    << "  \"fullunpakedsize\": " << list.fullunpakedsize << ",\n"
    << "  \"compressall\": " << Bool(list.compressall) << ",\n"
    << "  \"exclude\": " << Quote(list.exclude) << ",\n"
    << "  \"foldersplit\": " << Bool(list.foldersplit) << ",\n"
    << "  \"filelist\": [";
  bool first = true;
  for (const auto& [key, e] : list.filelist) {
    j << (first ? "\n" : ",\n");
    first = false;
    j << "    {\"key\": " << Quote(key) << ", \"size\": " << e->size << ", \"hash\": \""
      << Hex(e->hash.data(), e->hash.size()) << "\", \"compressed\": " << Bool(e->compressed)
      << ", \"chunkcrc32\": [";
    for (size_t i = 0; i < e->chunkcrc32.size(); ++i) {
      j << (i ? ", " : "") << e->chunkcrc32[i];
    }
    j << "], \"posinfile\": " << e->posinfile;
    if (isbuilder) {
      j << ", \"buildersize\": " << e->buildersize
        << ", \"builderdate\": " << Double(e->builderdate);
    }
    j << "}";
  }
  j << (first ? "]\n}\n" : "\n  ]\n}\n");
  return j.str();
}

}  // namespace vantrel::publish
