#include "download/odd_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "support/nginx_fixture.h"

namespace vantrel::testing {

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

}  // namespace

TPythonServer::TPythonServer(const std::string& root) : root_(root) {
  for (int attempt = 0; attempt < 8 && pid_ < 0; ++attempt) {
    port_ = FreePort();
    const std::string port = std::to_string(port_);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int log = ::open(dir_.File("requests.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      // Unbuffered, so that every request is in the log once answered.
      ::execlp("python3", "python3", "-u", "-m", "http.server", port.c_str(), "--bind", "127.0.0.1",
               "--directory", root_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) break;  // the port was taken meanwhile
      up = CanConnect(port_);
      if (!up) std::this_thread::sleep_for(10ms);
    }
    if (up) {
      pid_ = pid;
    } else {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  if (pid_ < 0) throw std::runtime_error("python3 -m http.server did not start");
}

TPythonServer::~TPythonServer() { Stop(); }

std::string TPythonServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/kestrune/";
}

std::vector<std::string> TPythonServer::Requests() const {
  // Lines such as: 127.0.0.1 - - [date] "GET /kestrune/x HTTP/1.1" 200 -
  std::vector<std::string> paths;
  std::ifstream log(dir_.File("requests.log"));
  std::string line;
  while (std::getline(log, line)) {
    const size_t at = line.find("\"GET ");
    if (at == std::string::npos) continue;
    const size_t end = line.find(' ', at + 5);
    if (end != std::string::npos) paths.push_back(line.substr(at + 5, end - at - 5));
  }
  return paths;
}

void TPythonServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

TTrickleServer::TTrickleServer(int64_t bodysize, std::chrono::milliseconds gap)
    : bodysize_(bodysize), gap_(gap) {
  listenfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenfd_ < 0 || ::bind(listenfd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenfd_, 64) != 0 ||
      ::getsockname(listenfd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

TTrickleServer::~TTrickleServer() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  acceptor_.join();
  for (auto& c : connections_) c.join();
  ::close(listenfd_);
}

std::string TTrickleServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void TTrickleServer::Accept() {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stop_) return;
    }
    pollfd p{listenfd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const int fd = ::accept4(listenfd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> hold(mutex_);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TTrickleServer::Serve(int fd) {
  // One request per connection: read its head, answer, close.
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ::close(fd);
      return;
    }
    head.append(buf, static_cast<size_t>(n));
  }
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bodysize_) +
                             "\r\nConnection: close\r\n\r\n";
  bool ok = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(answer.size());
  for (int64_t i = 0; ok && i < bodysize_; ++i) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (cv_.wait_for(hold, gap_, [this] { return stop_; })) break;
    hold.unlock();
    ok = ::send(fd, "x", 1, MSG_NOSIGNAL) == 1;
    if (ok && i + 1 == bodysize_) completed_.fetch_add(1);
  }
  ::close(fd);
}

}  // namespace vantrel::testing
