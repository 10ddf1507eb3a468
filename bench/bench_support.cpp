#include "bench_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/errors.h"
#include "platform/stream.h"
#include "publish/publish.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"
#include "versions/update_utils.h"

extern char** environ;

namespace vantrel::bench {

namespace fs = std::filesystem;

std::string LoadAverageText() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return "load average " + one + " " + five + " " + fifteen + ", " + std::to_string(Cores()) +
         " cores";
}

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Cores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

namespace {

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Starts one command; -1 when fork fails.
pid_t Start(const TCommand& c) {
  std::vector<std::string> envtexts;
  for (char** e = environ; *e != nullptr; ++e) envtexts.emplace_back(*e);
  for (const std::string& extra : c.env) envtexts.push_back(extra);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: only async-signal-safe calls plus exec from here on.
  const int in = ::open(c.stdinfile.empty() ? "/dev/null" : c.stdinfile.c_str(), O_RDONLY);
  const int out = ::open(c.stdoutfile.empty() ? "/dev/null" : c.stdoutfile.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  if (!c.stdoutfile.empty()) dup2(out, 2);
  if (!c.workdir.empty() && chdir(c.workdir.c_str()) != 0) _exit(126);
  std::vector<char*> argv;
  for (const std::string& a : c.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envtexts) envp.push_back(e.data());
  envp.push_back(nullptr);
  execvpe(argv[0], argv.data(), envp.data());
  _exit(127);
}

// Waits for pid; adds its CPU time and memory to m.
bool Reap(pid_t pid, TMeasured& m, bool summemory) {
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  m.cpuseconds += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  const double rss = static_cast<double>(usage.ru_maxrss) / 1024.0;
  m.rssmib = summemory ? m.rssmib + rss : std::max(m.rssmib, rss);
  ++m.processes;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TMeasured RunSequence(const std::vector<TCommand>& commands) {
  TMeasured m;
  m.ok = true;
  const double start = NowSeconds();
  for (const TCommand& c : commands) {
    const pid_t pid = Start(c);
    if (pid < 0 || !Reap(pid, m, false)) m.ok = false;
  }
  m.seconds = NowSeconds() - start;
  return m;
}

TMeasured RunTogether(const std::vector<TCommand>& commands) {
  TMeasured m;
  m.ok = true;
  const double start = NowSeconds();
  std::vector<pid_t> pids;
  for (const TCommand& c : commands) pids.push_back(Start(c));
  for (pid_t pid : pids) {
    if (pid < 0 || !Reap(pid, m, true)) m.ok = false;
  }
  m.seconds = NowSeconds() - start;
  return m;
}

double ProcessCpuSeconds(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  // Fields after the command name (which may hold blanks) in parentheses.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string TailOfFile(const std::string& path, int lines) {
  std::ifstream in(path);
  std::deque<std::string> last;
  for (std::string line; std::getline(in, line);) {
    last.push_back(line);
    if (static_cast<int>(last.size()) > lines) last.pop_front();
  }
  std::string out;
  for (const std::string& line : last) out += "    " + line + "\n";
  return out;
}

namespace {

// Text-like bytes that deflate to about a third: words of a vocabulary of
// 512 with a six-digit number every eighth word, like game scripts and
// tables.
std::vector<uint8_t> TextLikeBytes(size_t n, uint32_t seed) {
  static const std::vector<std::string> vocabulary = [] {
    std::mt19937 random(4242);
    std::vector<std::string> words;
    for (int i = 0; i < 512; ++i) {
      std::string w(3 + random() % 8, ' ');
      for (char& c : w) c = static_cast<char>('a' + random() % 26);
      words.push_back(std::move(w));
    }
    return words;
  }();
  std::vector<uint8_t> out;
  out.reserve(n);
  std::mt19937 random(seed);
  for (int word = 0; out.size() < n; ++word) {
    std::string piece = vocabulary[random() % vocabulary.size()];
    piece += word % 8 == 7 ? " " + std::to_string(100000 + random() % 900000) + "\n" : " ";
    out.insert(out.end(), piece.begin(), piece.end());
  }
  out.resize(n);
  return out;
}

void WriteClientFile(const TClient& client, const TClientFile& f) {
  testing::WriteFileBytes(client.dir + "/" + f.rel,
                          f.compressible ? TextLikeBytes(static_cast<size_t>(f.size), f.seed)
                                         : testing::PatternBytes(static_cast<size_t>(f.size),
                                                                 f.seed, false));
}

}  // namespace

TClient GenerateClient(const std::string& dir, int64_t sizemib) {
  TClient client;
  client.dir = dir;
  const double scale = static_cast<double>(sizemib) / 1024.0;
  std::mt19937 random(12345);
  auto add = [&](const std::string& rel, int64_t size, bool text, uint32_t seed) {
    client.files.push_back({rel, size, text, seed});
    client.bytes += size;
  };
  const int small = std::max(1, static_cast<int>(1500 * scale));
  for (int i = 0; i < small; ++i) {
    const bool text = i % 2 == 0;
    add("data/small/s" + std::to_string(i) + (text ? ".txt" : ".bin"),
        4096 + static_cast<int64_t>(random() % (60 * 1024)), text, static_cast<uint32_t>(i));
  }
  const int medium = std::max(1, static_cast<int>(40 * scale));
  for (int i = 0; i < medium; ++i) {
    const bool text = i % 3 == 0;
    add("data/medium/m#" + std::to_string(i) + (text ? ".pak" : ".raw"),
        (int64_t{2} << 20) + static_cast<int64_t>(random() % (6u << 20)),
        text, static_cast<uint32_t>(10000 + i));
  }
  add("bin32/Myrefall.exe", static_cast<int64_t>(6 * scale * (1 << 20)) + 4096, true, 30000);
  add("bin32/core.dll", static_cast<int64_t>(2 * scale * (1 << 20)) + 4096, true, 30001);
  add("bin32/sub/plugin.dll", 300 * 1024, true, 30002);
  const int64_t left = sizemib * 1024 * 1024 - client.bytes;
  const int large = 5;
  for (int i = 0; i < large; ++i) {
    const bool text = i < 1;
    add("data/large/large" + std::to_string(i) + (text ? ".dat" : ".raw"),
        std::max<int64_t>(left / large, 1 << 20), text, static_cast<uint32_t>(20000 + i));
  }
  std::sort(client.files.begin(), client.files.end(),
            [](const TClientFile& a, const TClientFile& b) { return a.rel < b.rel; });
  int64_t textbytes = 0;
  for (const TClientFile& f : client.files) {
    WriteClientFile(client, f);
    if (f.compressible) textbytes += f.size;
  }
  std::printf("  client: %zu files (%d small, %d of several MiB, %d large, 3 in bin32), %.1f MB, "
              "%.0f%% of it text-like\n",
              client.files.size(), small, medium, large, static_cast<double>(client.bytes) / 1e6,
              100.0 * static_cast<double>(textbytes) / static_cast<double>(client.bytes));
  return client;
}

std::vector<TClientFile> ChangeClient(TClient& client) {
  std::vector<TClientFile> changed;
  for (size_t i = 4; i < client.files.size(); i += 10) {
    TClientFile& f = client.files[i];
    f.seed += 1000003;
    WriteClientFile(client, f);
    changed.push_back(f);
  }
  return changed;
}

TUpdateList PublishClient(const TClient& client, const std::string& launcher,
                          const std::string& outdir, int32_t version) {
  publish::TPublishOptions options;
  options.clientdir = client.dir;
  options.launcherfile = launcher;
  options.launchername = "Launcher.exe";
  options.outdir = outdir;
  options.updateversion = version;
  options.exclude = kStoredSuffixes;
  publish::Publish(options);
  TUpdateList list;
  if (!list.LoadFromFile(outdir + "/client.version")) {
    throw EVantrelError("the published client.version does not load");
  }
  return list;
}

std::string KeyOf(const std::string& rel) {
  std::string key = "\\" + rel;
  std::replace(key.begin(), key.end(), '/', '\\');
  return key;
}

namespace {

std::string Hex(const TBytes& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

std::vector<TTransferFile> TransferFiles(const TUpdateList& list, const std::string& served,
                                         const std::vector<std::string>& keys, bool withmd5) {
  std::vector<TTransferFile> files;
  auto add = [&](const std::string& key, const TUpdateFile& e) {
    TTransferFile f;
    f.key = key;
    f.path = publish::TransferPathOfKey(key);
    f.size = e.size;
    f.compressed = e.compressed;
    if (withmd5) {
      TFileStream in(served + "/" + f.path, TFileMode::OpenRead);
      f.md5hex = Hex(GetStreamMD5(in));
    }
    files.push_back(std::move(f));
  };
  if (keys.empty()) {
    for (const auto& [key, e] : list.filelist) add(key, *e);
  } else {
    for (const std::string& key : keys) add(key, *list.filelist.at(key));
  }
  return files;
}

namespace {

std::vector<std::string> Aria2Options(int connectionspermirror) {
  return {"--no-conf",
          "--max-concurrent-downloads=" + std::to_string(connectionspermirror),
          "--max-connection-per-server=1",
          "--split=1",
          "--file-allocation=none",
          "--auto-save-interval=0",
          "--allow-overwrite=true",
          "--auto-file-renaming=false",
          "--conditional-get=false",
          "--remote-time=false",
          "--enable-http-keep-alive=true",
          "--disable-ipv6=true",
          "--console-log-level=error",
          "--summary-interval=0",
          "--download-result=hide",
          "--quiet=true"};
}

}  // namespace

std::string Aria2OptionsText(int connectionspermirror) {
  std::string text;
  for (const std::string& o : Aria2Options(connectionspermirror)) text += (text.empty() ? "" : " ") + o;
  return text;
}

std::vector<TCommand> Aria2Fetch(const std::vector<TTransferFile>& files,
                                 const std::vector<std::string>& mirrors, const std::string& outdir,
                                 const std::string& workdir, int connectionspermirror,
                                 bool checksums) {
  // Largest first, each to the mirror with the fewest bytes so far.
  std::vector<const TTransferFile*> order;
  for (const TTransferFile& f : files) order.push_back(&f);
  std::stable_sort(order.begin(), order.end(),
                   [](const TTransferFile* a, const TTransferFile* b) { return a->size > b->size; });
  std::vector<std::vector<const TTransferFile*>> parts(mirrors.size());
  std::vector<int64_t> bytes(mirrors.size(), 0);
  for (const TTransferFile* f : order) {
    const size_t to = static_cast<size_t>(std::min_element(bytes.begin(), bytes.end()) -
                                          bytes.begin());
    parts[to].push_back(f);
    bytes[to] += f->size;
  }
  std::vector<TCommand> commands;
  for (size_t m = 0; m < mirrors.size(); ++m) {
    if (parts[m].empty()) continue;
    const std::string input = workdir + "/aria2-input-" + std::to_string(m) + ".txt";
    std::ofstream list(input);
    for (const TTransferFile* f : parts[m]) {
      list << mirrors[m] << publish::TransferPathOfKey(f->key) << "\n  out=" << f->path << "\n";
      if (checksums) list << "  checksum=md5=" << f->md5hex << "\n";
    }
    TCommand c;
    c.argv = {"aria2c"};
    for (const std::string& o : Aria2Options(connectionspermirror)) c.argv.push_back(o);
    c.argv.push_back("--input-file=" + input);
    c.argv.push_back("--dir=" + outdir);
    c.stdoutfile = workdir + "/aria2-output-" + std::to_string(m) + ".txt";
    commands.push_back(std::move(c));
  }
  return commands;
}

TBound MeasureStageBound(const std::vector<TTransferFile>& files, const std::string& served,
                         const std::string& clientdir, const std::vector<std::string>& rels,
                         const std::vector<std::string>& mirrors,
                         const std::vector<pid_t>& serverpids, const std::string& scratch) {
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  TBound bound;
  bound.ok = true;
  auto servercpu = [&] {
    double sum = 0;
    for (pid_t pid : serverpids) sum += ProcessCpuSeconds(pid);
    return sum;
  };
  int64_t transferbytes = 0, compressedbytes = 0, clientbytes = 0;
  for (const TTransferFile& f : files) {
    transferbytes += f.size;
    if (f.compressed) compressedbytes += f.size;
  }
  for (const std::string& rel : rels) {
    clientbytes += static_cast<int64_t>(fs::file_size(clientdir + "/" + rel));
  }

  TStage fetch{"fetch", "aria2c, " + std::to_string(mirrors.size()) + " processes x 2 connections",
               transferbytes, {}, 0};
  const double cpu0 = servercpu();
  fetch.run = RunTogether(Aria2Fetch(files, mirrors, scratch + "/fetched", scratch, 2, false));
  fetch.servercpu = servercpu() - cpu0;
  bound.stages.push_back(fetch);

  // zlib-flate inflates one stream per process, and its start-up would
  // outweigh the work on small files: pigz (whose inflate is zlib's) takes
  // every file in one process.
  TCommand inflater;
  inflater.argv = {"pigz", "--decompress", "--stdout", "--suffix", ".u"};
  for (const TTransferFile& f : files) {
    if (f.compressed) inflater.argv.push_back(served + "/" + f.path);
  }
  TStage inflate{"inflate", "pigz --decompress, one process", compressedbytes,
                 RunSequence({inflater}), 0};
  bound.stages.push_back(inflate);

  TCommand md5;
  md5.argv = {"md5sum"};
  md5.workdir = clientdir;
  for (const std::string& rel : rels) md5.argv.push_back(rel);
  TStage digest{"digest", "md5sum", clientbytes, RunSequence({md5}), 0};
  bound.stages.push_back(digest);

  TCommand cp;
  cp.argv = {"cp", "--parents", "-t", scratch + "/copy"};
  cp.workdir = clientdir;
  TCommand sync;
  sync.argv = {"sync"};
  for (const std::string& rel : rels) {
    cp.argv.push_back(rel);
    sync.argv.push_back(scratch + "/copy/" + rel);
  }
  fs::create_directories(scratch + "/copy");
  TStage write{"write", "cp, then sync of the copies", clientbytes, RunSequence({cp, sync}), 0};
  bound.stages.push_back(write);

  for (const TStage& s : bound.stages) {
    bound.cpusum += s.run.cpuseconds + s.servercpu;
    bound.slowest = std::max(bound.slowest, s.run.seconds);
    bound.ok = bound.ok && s.run.ok;
  }
  bound.seconds = std::max(bound.cpusum / Cores(), bound.slowest);
  fs::remove_all(scratch);
  return bound;
}

void PrintBound(const TBound& bound) {
  std::printf("  %-8s %-42s %9s %8s %8s %9s\n", "stage", "tool", "MB", "wall s", "cpu s",
              "MB/s");
  for (const TStage& s : bound.stages) {
    const double mb = static_cast<double>(s.bytes) / 1e6;
    std::printf("  %-8s %-42s %9.1f %8.2f %8.2f %9.1f%s\n", s.name.c_str(), s.tool.c_str(), mb,
                s.run.seconds, s.run.cpuseconds, s.run.seconds > 0 ? mb / s.run.seconds : 0.0,
                s.run.ok ? "" : "  FAILED");
    if (s.servercpu > 0) std::printf("  %-8s %-42s %9s %8s %8.2f\n", "", "(the mirrors, nginx)", "", "", s.servercpu);
  }
  std::printf("  bound: max(cpu %.2f s / %d cores, slowest stage %.2f s) = %.2f s\n", bound.cpusum,
              Cores(), bound.slowest, bound.seconds);
}

std::string MakeTempFolder() {
  std::string tmpl = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw EVantrelError("mkdtemp failed");
  return tmpl;
}

bool HasProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    if (!d.empty() && access((d + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace vantrel::bench
