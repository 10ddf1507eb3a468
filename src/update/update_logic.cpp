#include "update/update_logic.h"

#include <strings.h>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/text_file.h"
#include "platform/utf8.h"

namespace vantrel {

namespace {

constexpr const char* kLangFile = "lang.dat";
constexpr const char* kCreditsFile = "credits.dat";

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

// --- TConfigList -------------------------------------------------------------

void TConfigList::Set(const std::string& name, const std::string& value) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (SameText(it->first, name)) {
      // An empty value removes the name, as a settings list does.
      if (value.empty()) {
        items_.erase(it);
      } else {
        it->second = value;
      }
      return;
    }
  }
  if (!value.empty()) items_.emplace_back(name, value);
}

std::string TConfigList::Value(const std::string& name) const {
  for (const auto& [n, v] : items_) {
    if (SameText(n, name)) return v;
  }
  return std::string();
}

bool TConfigList::Has(const std::string& name) const {
  for (const auto& item : items_) {
    if (SameText(item.first, name)) return true;
  }
  return false;
}

// --- TUpdateLogic: configuration ------------------------------------------------

TUpdateLogic::TUpdateLogic(TStartupContext context)
    : context_(std::move(context)),
      decimalseparator_(context_.decimalseparator != 0 ? context_.decimalseparator
                                                       : platform::LocaleDecimalSeparator()) {
  if (context_.firewall == nullptr) context_.firewall = &platform::SystemFirewallPolicy();
}

TUpdateLogic::~TUpdateLogic() = default;

void TUpdateLogic::LoadInitialData() {
  debugenabled = context_.args.size() >= 2 && context_.args[0] == "-debug";
  InitLogFile();
  OnStatusMessage("LoadingStatus");
  OnProgressBarChange(0);
  OnSpeedMessage(std::string());
  OnSizeMessage(std::string());
  {
    std::lock_guard<std::mutex> lock(statuslock_);
    loadedlang_ = "en";
  }
  LogMessage("Loading lang text");
  LoadConfigs();
  LogMessage("Loading credits");
  LoadCredits();
  launchername = Configs.Value("LauncherName");
  launcherfilefolder = Configs.Value("LauncherFolder");
  versionfilefolder = Configs.Value("VersionFileFolder");
  downloadfolder = Configs.Value("DownloadFolder");
  gamefolder = platform::ExtractFileDir(context_.exepath);
  while (gamefolder.size() > 1 && (gamefolder.back() == '/' || gamefolder.back() == '\\')) {
    gamefolder.pop_back();
  }
  LogMessage("Adding firewall rules");
  AddExceptionToFirewall(Configs.Value("LauncherName"), context_.exepath);
}

std::string TUpdateLogic::ReadResourceText(const char* name) const {
  if (context_.resources == nullptr) throw EVantrelError(std::string("Resource ") + name + " not found");
  const auto bytes = context_.resources->Find("RCDATA", name);
  if (!bytes) throw EVantrelError(std::string("Resource ") + name + " not found");
  return platform::DecodeText(*bytes);
}

void TUpdateLogic::LoadConfigs() {
  Configs.Clear();
  for (const std::string& line : platform::SplitLines(ReadResourceText("Configs"))) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;  // not a setting
    const std::string name = line.substr(0, eq);
    if (line.back() == '=') {
      Configs.Set(name, std::string());
      continue;
    }
    const auto next = line.find('=', eq + 1);
    Configs.Set(name, line.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1));
  }

  if (platform::FileExists(kLangFile)) {
    try {
      const auto lines = platform::ReadTextLines(kLangFile);
      std::string lang = lines.at(0);
      if (lang != "ru" && lang != "en" && lang != "fr" && lang != "cn") {
        lang = Configs.Value("LoginType") == "RU" ? "ru" : "en";
      }
      std::lock_guard<std::mutex> lock(statuslock_);
      loadedlang_ = lang;
    } catch (const std::exception&) {
      // An unreadable or empty file keeps the default language.
    }
  }

  DownloadServers = platform::SplitLines(ReadResourceText("DownloadServers"));
  if (DownloadServers.empty()) throw EConvertError("'' is not a valid integer value");
  DownloadThreadsPerSever = platform::ParseInt(DownloadServers.front());
  DownloadServers.erase(DownloadServers.begin());

  // A launcher built with release keys trusts nothing unsigned; a key list
  // that cannot be read stops the start rather than trusting everything.
  releasekeys.reset();
  if (HasResource("ReleaseKeys")) {
    releasekeys = TReleaseKeyList::Parse(ReadResourceText("ReleaseKeys"));
  }
  servertrust =
      HasResource("ServerCA") ? TServerTrust::Pinned(ReadResourceText("ServerCA")) : TServerTrust{};
}

bool TUpdateLogic::HasResource(const char* name) const {
  return context_.resources != nullptr && context_.resources->Find("RCDATA", name).has_value();
}

bool TUpdateLogic::LoadCredits() {
  loadedlogin.clear();
  loadedpassword.clear();
  loadedsave = false;
  if (platform::FileExists(kCreditsFile)) {
    try {
      const auto lines = platform::ReadTextLines(kCreditsFile);
      if (lines.size() >= 2) {
        loadedlogin = lines[0];
        loadedpassword = lines[1];
        loadedsave = true;
      }
    } catch (const std::exception&) {
      loadedlogin.clear();
      loadedpassword.clear();
      loadedsave = false;
    }
  }
  return true;
}

bool TUpdateLogic::SaveCredits(const std::string& login, const std::string& password, bool issave) {
  if (issave) {
    if (password != loadedpassword || login != loadedlogin) {
      // The digest text is a secret of its own: readable by the owner only.
      platform::WriteTextLines(kCreditsFile, {login, password}, 0600);
    }
  } else if (platform::FileExists(kCreditsFile) && !platform::RemoveFileAt(kCreditsFile)) {
    throw EOSError("Cannot delete \"credits.dat\"", errno);
  }
  return true;
}

void TUpdateLogic::LangSave(const std::string& lang) {
  {
    std::lock_guard<std::mutex> lock(statuslock_);
    loadedlang_ = lang;
  }
  platform::WriteTextLines(kLangFile, {lang});
}

std::string TUpdateLogic::LoadedLang() const {
  std::lock_guard<std::mutex> lock(statuslock_);
  return loadedlang_;
}

// --- Log ---------------------------------------------------------------------------

std::string TUpdateLogic::LogFileName() const { return platform::ChangeFileExt(context_.exepath, ".log"); }

void TUpdateLogic::InitLogFile() {
  if (!debugenabled) return;
  std::lock_guard<std::mutex> lock(loglock_);
  LogFile.reset();
  LogFile.emplace(LogFileName(), TFileMode::Create);
}

void TUpdateLogic::UnInitLogFile() {
  if (!debugenabled) return;
  std::lock_guard<std::mutex> lock(loglock_);
  LogFile.reset();
}

void TUpdateLogic::LogMessage(const std::string& text) {
  if (!debugenabled) return;
  const std::string line = platform::FormatLocalDateTimeNow() + ": " + text + "\r\n";
  std::lock_guard<std::mutex> lock(loglock_);
  if (LogFile) LogFile->WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
}

// --- Status ------------------------------------------------------------------------

void TUpdateLogic::OnStatusMessage(const std::string& msg, const std::string& msgval) {
  std::lock_guard<std::mutex> lock(statuslock_);
  StatusMessage_ = msg;
  StatusMessageValue_ = msgval;
}

void TUpdateLogic::OnProgressBarChange(int32_t percent) { ProgressBarChange_ = percent; }

void TUpdateLogic::OnSpeedMessage(const std::string& msg) {
  std::lock_guard<std::mutex> lock(statuslock_);
  SpeedMessage_ = msg;
}

void TUpdateLogic::OnSizeMessage(const std::string& msg) {
  std::lock_guard<std::mutex> lock(statuslock_);
  SizeMessage_ = msg;
}

void TUpdateLogic::OnChangeButtonsState(bool repair, bool play, bool update, bool cancel) {
  RepairBtnState_ = repair;
  PlayBtnState_ = play;
  UpdateBtnState_ = update;
  CancelBtnState_ = cancel;
}

void TUpdateLogic::HideProgressBarSmall() { OnProgressBarChange(-1); }
void TUpdateLogic::ShowProgressBarSmall() { OnProgressBarChange(0); }

void TUpdateLogic::ShowProgressSmall(int64_t cur, int64_t max) {
  // A zero total has no share to show; the callers always pass a positive one.
  if (max == 0) {
    OnProgressBarChange(0);
    return;
  }
  const double q = static_cast<double>(cur) / static_cast<double>(max);
  const double p = std::nearbyint(q * 10000.0);  // ties to even, like the original rounding
  int32_t percent = 0;
  if (p >= 10000.0) {
    percent = 10000;
  } else if (p > 0.0) {
    percent = static_cast<int32_t>(p);
  }
  OnProgressBarChange(percent);
}

std::string TUpdateLogic::FormatFixed(double value, int decimals, const char* unit) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string text(buf);
  for (char& c : text) {
    if (c == '.') c = decimalseparator_;
  }
  return text + unit;
}

std::string TUpdateLogic::FormatSpeed(int64_t bytescount) const {
  if (bytescount > 10485) return FormatFixed(static_cast<double>(bytescount) / 1048576.0, 2, "MB/s");
  if (bytescount <= 10) return FormatFixed(static_cast<double>(bytescount), 2, "B/s");
  return FormatFixed(static_cast<double>(bytescount) / 1024.0, 2, "KB/s");
}

std::string TUpdateLogic::FormatSize(int64_t x) const {
  const double v = static_cast<double>(x);
  if (x > 1099511627776LL) return FormatFixed(v / 1099511627776.0, 2, "TB");
  if (x > 1073741824LL) return FormatFixed(v / 1073741824.0, 2, "GB");
  if (x > 1048576LL) return FormatFixed(v / 1048576.0, 1, "MB");
  if (x > 1024LL) return FormatFixed(v / 1024.0, 1, "KB");
  return FormatFixed(v, 1, "B");
}

void TUpdateLogic::ShowSpeed(int64_t bytescount) { OnSpeedMessage(FormatSpeed(bytescount)); }
void TUpdateLogic::HideSpeed() { OnSpeedMessage(std::string()); }

void TUpdateLogic::ShowSize(int64_t cur, int64_t max, bool isfilesize) {
  if (isfilesize) {
    OnSizeMessage(FormatSize(cur) + " / " + FormatSize(max));
  } else {
    OnSizeMessage(std::to_string(cur) + " / " + std::to_string(max));
  }
}

void TUpdateLogic::HideSize() { OnSizeMessage(std::string()); }

void TUpdateLogic::UpdateDownStatusSmall(int64_t downsize, int64_t fullsize, int64_t speed,
                                         bool speedupdated, bool isfilesize) {
  ShowProgressSmall(downsize, fullsize);
  if (speedupdated) {
    ShowSpeed(speed);
  } else {
    HideSpeed();
  }
  ShowSize(downsize, fullsize, isfilesize);
}

void TUpdateLogic::ShowVersionCheckError() {
  OnStatusMessage("VersionCheckError");
  OnChangeButtonsState(true, false, false, false);
}

void TUpdateLogic::ShowVersionCheckSuccess() {
  OnStatusMessage("ApplicationReady");
  OnChangeButtonsState(true, true, false, false);
  OnProgressBarChange(0);
  ShowProgressSmall(1, 1);
}

void TUpdateLogic::ShowRepairError() {
  OnStatusMessage("RepairError");
  OnChangeButtonsState(true, false, false, false);
}

void TUpdateLogic::ShowRepairSuccess() { ShowVersionCheckSuccess(); }

void TUpdateLogic::ShowUpdateError() {
  OnStatusMessage("UpdateError");
  OnChangeButtonsState(true, false, false, false);
}

void TUpdateLogic::ShowUpdateSuccess() { ShowVersionCheckSuccess(); }

TStatusSnapshot TUpdateLogic::GetStatus() const {
  TStatusSnapshot s;
  {
    std::lock_guard<std::mutex> lock(statuslock_);
    s.StatusMessage = StatusMessage_;
    s.StatusMessageValue = StatusMessageValue_;
    s.SpeedMessage = SpeedMessage_;
    s.SizeMessage = SizeMessage_;
  }
  s.ProgressBarChange = ProgressBarChange_;
  return s;
}

std::string TUpdateLogic::LastFailure() const {
  std::lock_guard<std::mutex> lock(statuslock_);
  return lastfailure_;
}

void TUpdateLogic::NoteFailure(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(statuslock_);
    lastfailure_ = line;
  }
  try {
    LogMessage(line);
  } catch (const std::exception&) {
    // A log that cannot be written (a full disk) does not hide the outcome.
  }
}

TButtonsSnapshot TUpdateLogic::GetButtons() const {
  return TButtonsSnapshot{RepairBtnState_, PlayBtnState_, UpdateBtnState_, CancelBtnState_};
}

// --- Firewall --------------------------------------------------------------------------

void TUpdateLogic::AddExceptionToFirewall(const std::string& caption, const std::string& executable) {
  platform::IFirewallPolicy& policy = *context_.firewall;
  try {
    if (policy.SystemMajorVersion() < 6) return;
    bool found = false;
    {
      auto rules = policy.OpenRules();
      platform::TFirewallRule rule;
      while (rules->Next(rule)) {
        if (rule.name == caption && rule.applicationname == executable) found = true;
      }
    }
    if (found) return;
    auto rules = policy.OpenRules();
    platform::TFirewallRule rule;
    rule.name = caption;
    rule.description = caption;
    rule.applicationname = executable;
    rule.protocol = 6;
    rule.direction = 2;
    rule.enabled = true;
    rule.profiles = 7;
    rule.action = 1;
    rules->Add(rule);
  } catch (...) {
    // No service, no rights: the launcher runs without the rule.
  }
}

}  // namespace vantrel
