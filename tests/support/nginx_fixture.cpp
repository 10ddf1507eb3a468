#include "support/nginx_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vantrel::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Sends one HTTP/1.0 GET and reads the answer to its end.
void Fetch(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
      char buf[4096];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
    }
  }
  ::close(fd);
}

bool NginxHas(const std::string& without) {
  static const std::string flags = [] {
    std::string out;
    if (FILE* p = ::popen((NginxBinary() + " -V 2>&1").c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      ::pclose(p);
    }
    return out;
  }();
  return flags.find(without) == std::string::npos;
}

// Damages every transfer file: one byte flipped at the start of each 64 KiB
// block, so every chunk of every size class fails its check.
void CorruptTree(const fs::path& from, const fs::path& to, const std::string& probe) {
  fs::copy(from, to, fs::copy_options::recursive);
  for (const auto& entry : fs::recursive_directory_iterator(to)) {
    // Transfer files only: the version files stay intact, as on a mirror
    // whose data went bad.
    if (!entry.is_regular_file() || entry.path().filename() == probe ||
        entry.path().extension() == ".version") {
      continue;
    }
    std::fstream f(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
    const auto size = static_cast<int64_t>(entry.file_size());
    for (int64_t pos = 0; pos < size; pos += 64 * 1024) {
      f.seekg(pos);
      char c = 0;
      f.read(&c, 1);
      c = static_cast<char>(c ^ 0x5A);
      f.seekp(pos);
      f.write(&c, 1);
    }
  }
}

}  // namespace

const char* ModeName(TServerMode mode) {
  switch (mode) {
    case TServerMode::Good:
      return "good";
    case TServerMode::Missing:
      return "missing";
    case TServerMode::Error500:
      return "error500";
    case TServerMode::Slow:
      return "slow";
    case TServerMode::Corrupted:
      return "corrupted";
    case TServerMode::WrongProbe:
      return "wrongprobe";
    case TServerMode::Dead:
      return "dead";
  }
  return "?";
}

std::string NginxBinary() {
  const char* env = std::getenv("VANTREL_NGINX");
  return env != nullptr && *env != 0 ? env : "/usr/sbin/nginx";
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

TNginxServer::TNginxServer(TServerMode mode, const std::string& root, TServerOptions options)
    : mode_(mode), root_(fs::absolute(root).string()), options_(std::move(options)) {
  served_ = root_;
  if (mode_ == TServerMode::Corrupted) {
    served_ = dir_.File("corrupted");
    CorruptTree(root_, served_, options_.probe);
  }
  if (mode_ == TServerMode::WrongProbe) {
    std::ofstream(dir_.File("probe"), std::ios::binary)
        << std::string(static_cast<size_t>(options_.probesize), 'p');
  }
  Start();
}

TNginxServer::~TNginxServer() { Stop(); }

std::string TNginxServer::BaseUrl() const {
  return std::string(options_.tlscertificate.empty() ? "http" : "https") +
         "://127.0.0.1:" + std::to_string(port_) + "/kestrune/";
}

std::string TNginxServer::Config() const {
  const std::string d = dir_.Path();
  std::ostringstream c;
  c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
    << "error_log " << d << "/error.log warn;\npid " << d << "/nginx.pid;\n"
    << "events { worker_connections 512; }\n"
    << "http {\n"
    << "  log_format vantrel '$request_uri|$http_range|$status|$body_bytes_sent';\n"
    << "  access_log " << d << "/access.log vantrel;\n"
    << "  client_body_temp_path " << d << "/client_body;\n"
    << "  proxy_temp_path " << d << "/proxy;\n"
    << "  fastcgi_temp_path " << d << "/fastcgi;\n";
  if (NginxHas("--without-http_uwsgi_module")) c << "  uwsgi_temp_path " << d << "/uwsgi;\n";
  if (NginxHas("--without-http_scgi_module")) c << "  scgi_temp_path " << d << "/scgi;\n";
  c << "  types { }\n  default_type application/octet-stream;\n"
    << "  sendfile on;\n  tcp_nopush on;\n  keepalive_requests 1000000;\n"
    << "  keepalive_timeout 60s;\n"
    << "  server {\n";
  if (options_.tlscertificate.empty()) {
    c << "    listen 127.0.0.1:" << port_ << ";\n";
  } else {
    c << "    listen 127.0.0.1:" << port_ << " ssl;\n"
      << "    listen 127.0.0.1:" << markerport_ << ";\n"
      << "    ssl_certificate " << options_.tlscertificate << ";\n"
      << "    ssl_certificate_key " << options_.tlskey << ";\n"
      << "    ssl_protocols TLSv1.2 TLSv1.3;\n";
  }
  c << "    root " << served_ << ";\n";
  if (options_.ignoreranges) c << "    max_ranges 0;\n";
  const std::string probe = "/kestrune/" + options_.probe;
  switch (mode_) {
    case TServerMode::Missing:
    case TServerMode::Error500: {
      const std::string fail = mode_ == TServerMode::Missing ? "404" : "500";
      if (!options_.probefails) c << "    location = " << probe << " { }\n";
      c << "    location / { return " << fail << "; }\n";
      break;
    }
    case TServerMode::Slow:
      c << "    limit_rate " << options_.limitrate << ";\n";
      break;
    case TServerMode::WrongProbe:
      c << "    location = " << probe << " { alias " << d << "/probe; }\n";
      break;
    default:
      break;
  }
  c << "  }\n}\n";
  return c.str();
}

void TNginxServer::Start() {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (mode_ == TServerMode::Dead) {
      // A socket bound but not listening: connections are refused, and no
      // other server can take the port meanwhile.
      deadfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<uint16_t>(options_.port));
      socklen_t len = sizeof addr;
      if (deadfd_ < 0 || ::bind(deadfd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          ::getsockname(deadfd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot reserve a port");
      }
      port_ = ntohs(addr.sin_port);
      return;
    }
    port_ = options_.port > 0 ? options_.port : FreePort();
    markerport_ = options_.tlscertificate.empty() ? port_ : FreePort();
    if (TryStart()) return;
  }
  std::ifstream log(dir_.File("error.log"));
  std::stringstream text;
  text << log.rdbuf();
  throw std::runtime_error("nginx did not start: " + text.str());
}

bool TNginxServer::TryStart() {
  const std::string conf = dir_.File("nginx.conf");
  std::ofstream(conf) << Config();
  std::error_code ec;
  fs::remove(dir_.File("error.log"), ec);
  const std::string bin = NginxBinary();
  const std::string errlog = dir_.File("error.log");
  const std::string out = dir_.File("nginx.out");
  std::vector<std::string> args = {bin, "-e", errlog, "-p", dir_.Path() + "/", "-c", conf};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;  // exited: most likely the port was taken meanwhile
    }
    if (CanConnect(port_) && CanConnect(markerport_)) return true;
    std::this_thread::sleep_for(5ms);
  }
  Stop();
  return false;
}

void TNginxServer::Stop() {
  if (deadfd_ >= 0) {
    ::close(deadfd_);
    deadfd_ = -1;
  }
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  pid_ = -1;
}

std::vector<TLoggedRequest> TNginxServer::Requests() {
  std::vector<TLoggedRequest> result;
  if (mode_ == TServerMode::Dead || pid_ <= 0) return result;
  // nginx runs as one process: once it has logged a request sent after all
  // others were answered, it has logged those too.
  const std::string marker = "/vantrel-sync-" + std::to_string(++syncs_);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    Fetch(markerport_, marker);
    for (int i = 0; i < 100 && !seen; ++i) {
      result.clear();
      std::ifstream log(dir_.File("access.log"));
      std::string line;
      while (std::getline(log, line)) {
        std::vector<std::string> parts;
        std::stringstream ss(line);
        std::string part;
        while (std::getline(ss, part, '|')) parts.push_back(part);
        if (parts.size() != 4) continue;
        if (parts[0] == marker) {
          seen = true;
          continue;
        }
        if (parts[0].rfind("/vantrel-sync-", 0) == 0) continue;
        result.push_back(
            {parts[0], parts[1], std::atoi(parts[2].c_str()), std::atoll(parts[3].c_str())});
      }
      if (!seen) std::this_thread::sleep_for(2ms);
    }
  }
  if (!seen) throw std::runtime_error("nginx did not log the marker request");
  return result;
}

std::vector<TLoggedRequest> TNginxServer::FileRequests() {
  std::vector<TLoggedRequest> all = Requests();
  std::vector<TLoggedRequest> files;
  const std::string probe = "/kestrune/" + options_.probe;
  for (auto& r : all) {
    if (r.uri != probe) files.push_back(std::move(r));
  }
  return files;
}

}  // namespace vantrel::testing
