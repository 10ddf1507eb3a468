// What the benchmarks share: the machine's load beside every figure,
// programs run and measured (wall time, CPU time, peak resident memory), a
// generated client published with the publisher, aria2c over the local
// mirrors, and the standalone rates of the install's stages with well-known
// tools (the bound an install can reach on this machine). Single-threaded;
// the benchmarks call it from their main thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "versions/update_list.h"

namespace vantrel::bench {

// "load average 0.52 0.61 0.70, 2 cores" from /proc/loadavg.
std::string LoadAverageText();
// Seconds on a monotonic clock.
double NowSeconds();
int Cores();

// A program to run: no shell; stdin and stdout are files (empty: /dev/null),
// stderr goes to stdout's file when stdout is one, else to ours.
struct TCommand {
  std::vector<std::string> argv;
  std::string stdinfile;
  std::string stdoutfile;
  std::vector<std::string> env;  // "NAME=value" added to ours
  std::string workdir;           // empty: ours
};

// One measured run of one or more programs.
struct TMeasured {
  double seconds = 0;     // wall time from the first start to the last end
  double cpuseconds = 0;  // user + system time of every program, summed
  double rssmib = 0;      // peak resident memory, summed over programs run together
  int processes = 0;
  bool ok = false;  // every program ended with status 0
};

// Runs the commands one after another (peak memory: the largest one's).
TMeasured RunSequence(const std::vector<TCommand>& commands);
// Runs the commands at the same time and waits for all of them.
TMeasured RunTogether(const std::vector<TCommand>& commands);
// User + system seconds a running process has used so far (0 when gone).
double ProcessCpuSeconds(pid_t pid);
// The last lines of a text file, for a failure report.
std::string TailOfFile(const std::string& path, int lines);

// A generated client folder.
struct TClientFile {
  std::string rel;  // "data/small/s12.txt"
  int64_t size = 0;
  bool compressible = false;  // text-like: travels zlib-compressed
  uint32_t seed = 0;
};

struct TClient {
  std::string dir;
  std::vector<TClientFile> files;  // in order of rel
  int64_t bytes = 0;
};

// About sizemib MiB: many small files, some of several MiB, five large
// ones in data/large, a few executables in bin32; text-like files (.txt,
// .pak, .dat, .dll, .exe) travel compressed, random ones (.bin, .raw) as
// they are. Deterministic; prints one summary line.
TClient GenerateClient(const std::string& dir, int64_t sizemib);
// Rewrites every tenth file (in order of rel, starting with the fifth)
// with new bytes of the same kind and size; returns the files changed.
std::vector<TClientFile> ChangeClient(TClient& client);
// Suffixes published as they are (the random files).
inline constexpr const char* kStoredSuffixes = ".bin;.raw";

// Publishes the client as build version with launcher as the launcher
// ("Launcher.exe") into outdir; returns the published list.
TUpdateList PublishClient(const TClient& client, const std::string& launcher,
                          const std::string& outdir, int32_t version);

// One transfer file of a published tree.
struct TTransferFile {
  std::string key;   // "\data\small\s12.txt"
  std::string path;  // below the served folder: "data/small/s12.txt.u"
  int64_t size = 0;
  bool compressed = false;
  std::string md5hex;  // of the transfer file, when asked for
};

// The transfer files of the list's entries (of keys, when not empty).
std::vector<TTransferFile> TransferFiles(const TUpdateList& list, const std::string& served,
                                         const std::vector<std::string>& keys = {},
                                         bool withmd5 = false);
// The key of a client file ("\" + rel with "\" separators).
std::string KeyOf(const std::string& rel);

// aria2c fetching files from the mirrors with the same connections as the
// launcher's download manager: one process per mirror with
// connectionspermirror connections each, whole files, the files split
// between the mirrors by bytes (largest first). With checksums, every file
// carries its transfer file's MD5 and aria2c checks it after the download.
std::vector<TCommand> Aria2Fetch(const std::vector<TTransferFile>& files,
                                 const std::vector<std::string>& mirrors, const std::string& outdir,
                                 const std::string& workdir, int connectionspermirror,
                                 bool checksums);
// The aria2c options used (one line), for the report.
std::string Aria2OptionsText(int connectionspermirror);

// The standalone rate of each stage of an install on the same bytes, with
// a well-known tool: aria2c fetches the transfer files, pigz inflates the
// compressed ones (zlib's inflate, one process for all files), md5sum
// digests the client files, cp writes them and sync makes them
// durable.
struct TStage {
  std::string name;
  std::string tool;
  int64_t bytes = 0;
  TMeasured run;
  double servercpu = 0;  // the mirrors' CPU time during the stage (fetch)
};

struct TBound {
  std::vector<TStage> stages;
  double cpusum = 0;   // every stage's CPU time (servers' included)
  double slowest = 0;  // the longest stage's wall time
  double seconds = 0;  // max(cpusum / cores, slowest)
  bool ok = false;
};

// files: the transfer files to fetch; rels: the unpacked files, relative
// to clientdir. scratch is emptied and used for the tools' output.
TBound MeasureStageBound(const std::vector<TTransferFile>& files, const std::string& served,
                         const std::string& clientdir, const std::vector<std::string>& rels,
                         const std::vector<std::string>& mirrors,
                         const std::vector<pid_t>& serverpids, const std::string& scratch);
void PrintBound(const TBound& bound);

// A fresh folder under $TMPDIR (prefix "vantrel-bench-").
std::string MakeTempFolder();
// Whether a program is on PATH.
bool HasProgram(const std::string& name);

}  // namespace vantrel::bench
