// Measures "directorymd5" of a running agent against `find TREE -type f -exec md5sum {} +`
// over the same tree in the same run, both with the page cache warm: the tree holds many
// small files and a few large ones (by default 4,000 of 32 KiB and 16 of 16 MiB). Checks that
// the agent's digests are md5sum's before it prints a figure.
// The agent must listen on 127.0.0.1 with its start directory at --workdir (bench/run starts
// one); the tree is made there and removed afterwards. Options that are not its own (those of
// kadrel-bench) are skipped, so bench/run hands both programs the same arguments; --only 4
// runs this figure alone.
//
// kadrel-bench-md5 --port P --sid S --pass P --workdir DIR [--md5-small N] [--md5-large N]
//                  [--only 0|4]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/PanelClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0;
  std::string sid, pass, workdir;
  int small = 4000;  // files of 32 KiB
  int large = 16;    // files of 16 MiB
  int only = 0;
};

// Relative to the agent's start directory, so that the keys hold no dot of the directory's name.
const char kTree[] = "md5tree";
std::string treePath;  // absolute, removed on every exit path

void removeTree() {
  if (!treePath.empty()) {
    std::string line = "rm -rf '" + treePath + "'";
    if (system(line.c_str()) != 0)
      fprintf(stderr, "kadrel-bench-md5: could not remove %s\n", treePath.c_str());
    treePath.clear();
  }
}

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "kadrel-bench-md5: %s\n", what.c_str());
  removeTree();
  exit(1);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes `count` files of `size` bytes of pseudo-random data, 100 to a directory.
size_t writeFiles(const std::string& prefix, int count, size_t size, uint64_t& seed) {
  std::vector<uint64_t> block(size / 8);
  for (int i = 0; i < count; ++i) {
    const std::string dir = treePath + "/" + prefix + std::to_string(i / 100);
    mkdir(dir.c_str(), 0755);
    for (uint64_t& v : block) v = (seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17);
    std::ofstream out(dir + "/f" + std::to_string(i), std::ios::binary);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(size));
    if (!out) fail("cannot write the tree under " + treePath);
  }
  return static_cast<size_t>(count) * size;
}

// `find TREE -type f -exec md5sum {} +` in the start directory; its output in `out`.
double md5sumRun(const Options& o, std::string& out) {
  auto start = Clock::now();
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) fail("pipe failed");
  pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    if (dup2(p[1], STDOUT_FILENO) < 0 || chdir(o.workdir.c_str()) != 0) _exit(127);
    execl("/usr/bin/find", "find", kTree, "-type", "f", "-exec", "md5sum", "{}", "+",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  out.clear();
  char buf[65536];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  double seconds = secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("find | md5sum failed");
  return seconds;
}

// "directorymd5:_:TREE" on a fresh connection; the JSON in `out`.
double agentRun(const Options& o, std::string& out) {
  PanelClient client;
  std::string error;
  if (!client.openSession("127.0.0.1", o.port, {o.sid, o.pass, "root", "yes", "yes"}, &error))
    fail("session: " + error);
  auto start = Clock::now();
  if (!client.request(std::string("cmd_exec: directorymd5:_:") + kTree, out))
    fail("no reply to directorymd5");
  return secondsSince(start);
}

// path -> digest from md5sum's lines ("digest  path").
std::map<std::string, std::string> md5sumDigests(const std::string& text) {
  std::map<std::string, std::string> digests;
  size_t pos = 0;
  for (size_t end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
    if (end - pos > 34) digests[text.substr(pos + 34, end - pos - 34)] = text.substr(pos, 32);
  return digests;
}

// path -> digest from the agent's members ("    \"md5tree\/s0\/f0\": \"digest\",").
std::map<std::string, std::string> agentDigests(const std::string& json) {
  std::map<std::string, std::string> digests;
  size_t pos = 0;
  for (size_t end; (end = json.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = json.substr(pos, end - pos);
    const size_t open = line.find('"'), sep = line.find("\": \"");
    if (open == std::string::npos || sep == std::string::npos) continue;
    std::string key;
    for (size_t i = open + 1; i < sep; ++i)
      if (!(line[i] == '\\' && i + 1 < sep && line[i + 1] == '/')) key += line[i];
    digests[key] = line.substr(sep + 4, 32);
  }
  return digests;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--port")
      o.port = atoi(v.c_str());
    else if (a == "--sid")
      o.sid = v;
    else if (a == "--pass")
      o.pass = v;
    else if (a == "--workdir")
      o.workdir = v;
    else if (a == "--md5-small")
      o.small = atoi(v.c_str());
    else if (a == "--md5-large")
      o.large = atoi(v.c_str());
    else if (a == "--only")
      o.only = atoi(v.c_str());
    // Anything else belongs to kadrel-bench.
  }
  if (o.port <= 0 || o.sid.empty() || o.pass.empty() || o.workdir.empty())
    fail("usage: kadrel-bench-md5 --port P --sid S --pass P --workdir DIR [--md5-small N] [--md5-large N]");
  if (o.small < 0 || o.large < 0 || o.small + o.large == 0)
    fail("file counts must not be negative or both 0");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.only != 0 && o.only != 4) return 0;

  treePath = o.workdir + "/" + kTree;
  removeTree();
  treePath = o.workdir + "/" + kTree;
  if (mkdir(treePath.c_str(), 0755) != 0) fail("cannot make " + treePath);
  uint64_t seed = 0x9e3779b97f4a7c15ULL;
  size_t bytes = writeFiles("s", o.small, 32 << 10, seed) + writeFiles("l", o.large, 16 << 20, seed);
  const size_t files = static_cast<size_t>(o.small + o.large);

  // Warm the page cache for both, and check the agent's answer against md5sum's.
  std::string sums, json;
  md5sumRun(o, sums);
  agentRun(o, json);
  const auto expected = md5sumDigests(sums), got = agentDigests(json);
  if (expected.size() != files) fail("md5sum listed " + std::to_string(expected.size()) + " files");
  if (got != expected)
    fail("the agent's digests differ from md5sum's (" + std::to_string(got.size()) + " members)");

  // Interleaved, best of five each, so that drifts of the machine hit both alike.
  double agentBest = 1e9, md5sumBest = 1e9;
  for (int i = 0; i < 5; ++i) {
    agentBest = std::min(agentBest, agentRun(o, json));
    md5sumBest = std::min(md5sumBest, md5sumRun(o, sums));
  }
  removeTree();

  const double agentRate = bytes / agentBest / 1e6, md5sumRate = bytes / md5sumBest / 1e6;
  char label[64];
  snprintf(label, sizeof label, "directorymd5 (%zu files, %zu MiB)", files, bytes >> 20);
  printf("%-34s %9.2f %-5s  %-26s %9.2f %-5s  ratio %5.2f (target >= 1.8 on 2 cores; %u here)\n", label,
         agentRate, "MB/s", "baseline find|md5sum", md5sumRate, "MB/s", agentRate / md5sumRate,
         std::thread::hardware_concurrency());
  fflush(stdout);
  return 0;
}
