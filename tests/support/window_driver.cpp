#include "support/window_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vantrel::testing {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

TLauncherWindow::TLauncherWindow(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd,
                                 const std::map<std::string, std::string>& env) {
  // A launcher that has gone shows as a failed command, not as SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  int tochild[2], fromchild[2];
  if (::pipe2(tochild, O_CLOEXEC) != 0 || ::pipe2(fromchild, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  char errtemplate[] = "/tmp/vantrel-window-stderr-XXXXXX";
  const int errfd = ::mkstemp(errtemplate);
  if (errfd < 0) throw std::runtime_error("mkstemp failed");
  errfile_ = errtemplate;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    // Moved out of the way first: a pipe may already sit on 3 or 4, and
    // dup2 onto itself would keep its close-on-exec flag.
    const int in = ::fcntl(tochild[0], F_DUPFD_CLOEXEC, 10);
    const int out = ::fcntl(fromchild[1], F_DUPFD_CLOEXEC, 10);
    const int err = ::fcntl(errfd, F_DUPFD_CLOEXEC, 10);
    ::dup2(in, 3);
    ::dup2(out, 4);
    ::dup2(err, 2);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::close_range(5, ~0u, 0);
    ::setenv("VANTREL_TEST_HOOKS", "3,4", 1);
    for (const auto& [k, v] : env) {
      if (v.empty()) {
        ::unsetenv(k.c_str());
      } else {
        ::setenv(k.c_str(), v.c_str(), 1);
      }
    }
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(errfd);
  ::close(tochild[0]);
  ::close(fromchild[1]);
  in_ = tochild[1];
  out_ = fromchild[0];
}

TLauncherWindow::~TLauncherWindow() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (!errfile_.empty()) ::unlink(errfile_.c_str());
}

bool TLauncherWindow::ReadLine(std::string& line, int timeoutms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  for (;;) {
    const size_t eol = buffer_.find('\n');
    if (eol != std::string::npos) {
      line = buffer_.substr(0, eol);
      buffer_.erase(0, eol + 1);
      return true;
    }
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::string TLauncherWindow::Command(const std::string& verb, const std::string& arg,
                                     int timeoutms) {
  const std::string id = std::to_string(nextid_++);
  const std::string line = id + " " + verb + (arg.empty() ? "" : " " + arg) + "\n";
  const ssize_t written = ::write(in_, line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    return std::string("error: cannot write to the launcher: ") +
           (written < 0 ? std::strerror(errno) : "short write");
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  std::string answer;
  while (ReadLine(answer, RemainingMs(deadline))) {
    if (answer.rfind(id + " ok ", 0) == 0) return answer.substr(id.size() + 4);
    if (answer.rfind(id + " err ", 0) == 0) return "error: " + answer.substr(id.size() + 5);
    notes_.push_back(answer);
  }
  return "error: no answer";
}

std::string TLauncherWindow::Eval(const std::string& body, int timeoutms) {
  return Command("eval", body, timeoutms);
}

std::string TLauncherWindow::WaitFor(const std::string& body, const std::string& expected,
                                     int timeoutms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  std::string last;
  do {
    last = Eval(body, std::max(RemainingMs(deadline), 1000));
    if (last == expected) return last;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (Clock::now() < deadline);
  return last;
}

std::string TLauncherWindow::Describe() { return Command("describe", "", 10000); }

std::string TLauncherWindow::Snapshot(const std::string& pngpath) {
  return Command("snapshot", pngpath, 10000);
}

int TLauncherWindow::WaitExit(int timeoutms) {
  if (status_ >= 0) return status_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
  for (;;) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string TLauncherWindow::Stderr() const {
  std::ifstream in(errfile_, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TImage ReadPng(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 8 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
    throw std::runtime_error("not a PNG: " + path);
  }
  auto be32 = [&](size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  };
  TImage img;
  std::string idat;
  for (size_t at = 8; at + 12 <= data.size();) {
    const uint32_t len = be32(at);
    const std::string type = data.substr(at + 4, 4);
    if (at + 12 + len > data.size()) break;
    if (type == "IHDR") {
      img.width = static_cast<int>(be32(at + 8));
      img.height = static_cast<int>(be32(at + 12));
      if (data[at + 16] != 8 || data[at + 17] != 6 || data[at + 20] != 0) {
        throw std::runtime_error("not 8-bit RGBA without interlace: " + path);
      }
    } else if (type == "IDAT") {
      idat += data.substr(at + 8, len);
    }
    at += 12 + len;
  }
  const size_t stride = static_cast<size_t>(img.width) * 4;
  std::vector<uint8_t> raw((stride + 1) * static_cast<size_t>(img.height));
  uLongf rawsize = raw.size();
  if (uncompress(raw.data(), &rawsize, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) !=
          Z_OK ||
      rawsize != raw.size()) {
    throw std::runtime_error("bad PNG data: " + path);
  }
  img.rgba.resize(stride * static_cast<size_t>(img.height));
  for (int y = 0; y < img.height; ++y) {
    const uint8_t filter = raw[static_cast<size_t>(y) * (stride + 1)];
    const uint8_t* src = &raw[static_cast<size_t>(y) * (stride + 1) + 1];
    uint8_t* dst = &img.rgba[static_cast<size_t>(y) * stride];
    const uint8_t* up = y > 0 ? dst - stride : nullptr;
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= 4 ? dst[i - 4] : 0;
      const int b = up ? up[i] : 0;
      const int c = (up && i >= 4) ? up[i - 4] : 0;
      int v = src[i];
      switch (filter) {
        case 1: v += a; break;
        case 2: v += b; break;
        case 3: v += (a + b) / 2; break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          v += (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
          break;
        }
        default: break;
      }
      dst[i] = static_cast<uint8_t>(v);
    }
  }
  return img;
}

namespace {

void PutBe32(std::string& out, uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  PutBe32(out, static_cast<uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

int Paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

}  // namespace

void WritePng(const TImage& img, const std::string& path) {
  const size_t stride = static_cast<size_t>(img.width) * 4;
  if (img.width <= 0 || img.height <= 0 || img.rgba.size() != stride * img.height) {
    throw std::runtime_error("no picture to write: " + path);
  }
  // Each row with the filter that gives the smallest sum of magnitudes, the
  // usual choice of PNG encoders.
  std::string raw;
  raw.reserve((stride + 1) * static_cast<size_t>(img.height));
  std::string best, trial(stride, '\0');
  for (int y = 0; y < img.height; ++y) {
    const uint8_t* row = &img.rgba[static_cast<size_t>(y) * stride];
    const uint8_t* up = y > 0 ? row - stride : nullptr;
    long bestsum = -1;
    for (int filter = 0; filter <= 4; ++filter) {
      long sum = 0;
      for (size_t i = 0; i < stride; ++i) {
        const int a = i >= 4 ? row[i - 4] : 0;
        const int b = up ? up[i] : 0;
        const int c = (up && i >= 4) ? up[i - 4] : 0;
        const int predicted = filter == 1   ? a
                              : filter == 2 ? b
                              : filter == 3 ? (a + b) / 2
                              : filter == 4 ? Paeth(a, b, c)
                                            : 0;
        const auto v = static_cast<uint8_t>(row[i] - predicted);
        trial[i] = static_cast<char>(v);
        sum += v < 128 ? v : 256 - v;
      }
      if (bestsum < 0 || sum < bestsum) {
        bestsum = sum;
        best = static_cast<char>(filter) + trial;
      }
    }
    raw += best;
  }
  uLongf packedsize = compressBound(raw.size());
  std::string packed(packedsize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedsize,
                reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 9) != Z_OK) {
    throw std::runtime_error("cannot compress the picture: " + path);
  }
  packed.resize(packedsize);
  std::string header;
  PutBe32(header, static_cast<uint32_t>(img.width));
  PutBe32(header, static_cast<uint32_t>(img.height));
  header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", "");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

TImage CropImage(const TImage& img, int x, int y, int width, int height) {
  const int x0 = std::clamp(x, 0, img.width), y0 = std::clamp(y, 0, img.height);
  const int x1 = std::clamp(x + width, x0, img.width), y1 = std::clamp(y + height, y0, img.height);
  TImage part;
  part.width = x1 - x0;
  part.height = y1 - y0;
  part.rgba.reserve(static_cast<size_t>(part.width) * part.height * 4);
  for (int row = y0; row < y1; ++row) {
    const auto* from = &img.rgba[(static_cast<size_t>(row) * img.width + x0) * 4];
    part.rgba.insert(part.rgba.end(), from, from + static_cast<size_t>(part.width) * 4);
  }
  return part;
}

}  // namespace vantrel::testing
