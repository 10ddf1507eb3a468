// Signed releases on the launcher's side: the trusted release record, the
// files checked against it, and the highest release this client accepted.
#include <ctime>

#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "update/update_logic.h"
#include "versions/release_check.h"

namespace vantrel {

namespace {

// The accepted-release file: the update version in decimal and a line end.
// Anything else reads as no release accepted.
int32_t ParseAcceptedRelease(const TBytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty() || text.size() > 10) return -1;
  int64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v > 0x7FFFFFFF ? -1 : static_cast<int32_t>(v);
}

}  // namespace

int32_t TUpdateLogic::AcceptedRelease() {
  const std::string path = gamefolder + versionfilefolder + kAcceptedReleaseFile;
  if (!platform::FileExists(path)) return 0;
  try {
    if (platform::FileSizeOf(path) > 64) throw EVantrelError("too long");
    TMemoryStream m;
    m.LoadFromFile(path);
    const int32_t v = ParseAcceptedRelease(m.Bytes());
    if (v >= 0) return v;
  } catch (const std::exception&) {
  }
  // Written only whole (temporary file, flush, rename), so this is damage
  // from outside; the floor starts again from the release now trusted.
  LogMessage(std::string("Accepted release file unreadable, ignored: ") + kAcceptedReleaseFile);
  return 0;
}

bool TUpdateLogic::AcceptRelease(int32_t version) {
  if (!releasekeys || version <= AcceptedRelease()) return true;
  const std::string text = std::to_string(version) + "\n";
  try {
    platform::ReplaceFileDurably(
        gamefolder + versionfilefolder + kAcceptedReleaseFile,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    LogMessage("Accepted release " + std::to_string(version));
    return true;
  } catch (const std::exception& e) {
    LogMessage(std::string("Unable to store accepted release: ") + e.what());
    return false;
  }
}

int64_t TUpdateLogic::WallClockNow() const {
  return wallclock ? wallclock() : static_cast<int64_t>(std::time(nullptr));
}

std::optional<TReleaseRecord> TUpdateLogic::TrustedRelease() const {
  std::lock_guard<std::mutex> lock(releaselock_);
  return trustedrelease_;
}

void TUpdateLogic::ForgetTrustedRelease() {
  std::lock_guard<std::mutex> lock(releaselock_);
  trustedrelease_.reset();
}

void TUpdateLogic::LogDroppedServers() {
  for (const std::string& line : DownloadManager->DroppedServers()) LogMessage(line);
}

bool TUpdateLogic::FetchTrustedRelease(const std::function<void(const std::string&)>& error) {
  ForgetTrustedRelease();
  LogMessage("Downloading release record");
  // A fixed size: a server that sends more is cut off at once.
  const std::unique_ptr<TMemoryStream> stream =
      DownloadManager->DownloadFileToMemory(kReleaseRecordName, TReleaseRecord::kSize);
  LogMessage("Checking release record");
  const int64_t now = WallClockNow();
  const int32_t accepted = AcceptedRelease();
  TReleaseRecord record;
  const TReleaseVerdict verdict =
      CheckReleaseRecord(stream->Bytes(), *releasekeys, now, accepted, record);
  if (verdict == TReleaseVerdict::Missing) LogDroppedServers();
  if (verdict != TReleaseVerdict::Trusted) {
    error(DescribeReleaseVerdict(verdict, record, now, accepted));
    return false;
  }
  LogMessage(DescribeReleaseVerdict(verdict, record, now, accepted));
  std::lock_guard<std::mutex> lock(releaselock_);
  trustedrelease_ = record;
  return true;
}

bool TUpdateLogic::MatchesRelease(const std::string& name, const TFileFingerprint& expected,
                                  std::span<const uint8_t> bytes,
                                  const std::function<void(const std::string&)>& error) {
  if (FingerprintOf(bytes) == expected) return true;
  error(name + " does not match the release record");
  return false;
}

}  // namespace vantrel
