// Real nginx download servers on 127.0.0.1 for tests and benchmarks. Each
// server runs from its own generated configuration in its own temporary
// folder (configuration, pid, logs and temp paths all inside it), on a free
// port picked at run time, as the current user. The object stops what it
// started when it goes away, also when a test fails; the server also dies
// with the thread that started it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vantrel::testing {

enum class TServerMode {
  Good,        // serves root as it is
  Missing,     // 404 for every file but the probe file
  Error500,    // "return 500" for every file but the probe file
  Slow,        // root at limit_rate bytes per second
  Corrupted,   // a copy of root whose transfer files have damaged bytes (same sizes)
  WrongProbe,  // root, but the probe file is probesize bytes long
  Dead,        // a port with nothing listening
};

const char* ModeName(TServerMode mode);

struct TServerOptions {
  std::string probe = "launcher.version";  // probe file name below /kestrune/
  bool probefails = false;                 // Missing / Error500: the probe file fails too
  int64_t probesize = 37;                  // WrongProbe: size of the probe file served
  int64_t limitrate = 256 * 1024;          // Slow: bytes per second per connection
  bool ignoreranges = false;               // answer every request with the whole file (200)
  int port = 0;  // a fixed port on 127.0.0.1 (0: one that is free at run time)
  // HTTPS on port with this certificate chain and key (PEM files); empty:
  // plain HTTP.
  std::string tlscertificate;
  std::string tlskey;
};

// One request as the access log shows it.
struct TLoggedRequest {
  std::string uri;    // as requested, e.g. "/kestrune//bin32/a.dll.u"
  std::string range;  // value of the Range header ("-" when absent)
  int status = 0;
  int64_t bytes = 0;  // body bytes sent
};

class TNginxServer {
 public:
  // root holds the tree served as http://127.0.0.1:port/ (the download
  // servers' files lie in root/kestrune/). Raises std::runtime_error when
  // nginx cannot be started.
  TNginxServer(TServerMode mode, const std::string& root, TServerOptions options = {});
  ~TNginxServer();
  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  TServerMode Mode() const { return mode_; }
  int Port() const { return port_; }
  // The nginx process (-1 for a Dead server or once stopped).
  pid_t Pid() const { return pid_; }
  // "http://127.0.0.1:<port>/kestrune/" ("https://" with TLS), the form of
  // a configured server.
  std::string BaseUrl() const;
  // Every request served so far, in log order. Waits until nginx has logged
  // all requests answered before the call (a marker request of its own,
  // left out of the result). Empty for a Dead server.
  std::vector<TLoggedRequest> Requests();
  // Requests() without the probe file's.
  std::vector<TLoggedRequest> FileRequests();
  void Stop();

 private:
  void Start();
  bool TryStart();
  std::string Config() const;

  TServerMode mode_;
  std::string root_;
  TServerOptions options_;
  TTempDir dir_;
  std::string served_;  // the root nginx serves
  int port_ = 0;
  // A plain-HTTP port of the same server for the log's marker requests
  // when port_ speaks TLS; otherwise port_.
  int markerport_ = 0;
  pid_t pid_ = -1;
  int deadfd_ = -1;  // Dead: the socket that holds the port
  int syncs_ = 0;
};

// Path of the nginx binary (/usr/sbin/nginx unless VANTREL_NGINX is set).
std::string NginxBinary();
// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

}  // namespace vantrel::testing
