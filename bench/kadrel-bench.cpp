// Measures a running agent against what the same work costs without it, each figure beside a
// baseline measured in the same run by a small program of this benchmark (a forked copy of
// it), and beside its target:
// (--only takes the number in brackets)
//   [1] round trip of "command:_:true" with a reply on one kept-open connection, against
//       posix_spawn + waitpid of "/bin/bash -c true";
//   [5] the same while another connection holds an unread reply of a large output;
//   [2] "command:_:cat FILE" of a large file, request to last byte, against reading "cat FILE"
//       from a pipe in 64 KiB blocks (median of 3 runs each);
//   [6] 200 concurrent "command:_:sleep 1" on 200 connections, until the last reply, against
//       200 concurrent posix_spawns of "bash -c 'sleep 1'" until the last one ended;
//   [3] resident memory the agent spends per idle, authenticated connection (first, on the fresh
//       agent; with a system logger listening at /dev/log, so that the audit lines are written
//       as on a host: bench/run provides one);
//   [7] a fresh connection with six exchanges (SID, passphrase, cmd_user, cmd_return, cmd_close,
//       cmd_exec "version"), connect to the last reply, against kadrel-bench-echo, a C framing
//       echo server answering the same six frames (median and p99, in interleaved blocks).
// With a second agent that speaks TLS (--tls-port, --tls-agent-pid, --tls-files DIR holding
// ca.pem, agent.pem and agent.key; bench/run starts one):
//   [8] figure 7 over TLS, the TLS handshake included, against kadrel-bench-echo speaking TLS;
//   [9] figure 1 over a kept TLS connection, against the plaintext agent (interleaved blocks);
//  [10] figure 2 over TLS, against a stock TLS tunnel serving the same bytes (socat with the
//       agent's certificate, running "cat FILE" for each connection), the pipe shown beside.
// With a third agent that runs game servers without control groups (--nogroups-port,
// --nogroups-agent-pid: service_groups=off; bench/run starts one), services of the account root
// on each, the one without groups as the baseline:
//  [11] "start" of "sleep 600" in a group of its own (median of 7; start waits 3 s by design,
//       so the figure is the difference);
//  [12] "stop" of a service of 50 processes that end on SIGTERM: its reply after the last of
//       them ended (median of 3);
//  [13] "servicestats" of a service of 100 processes on a kept connection: the group's files
//       against the walk through /proc that stands in for them without a group.
//  [14] the CPU time the agent's metrics writer spends on one write of its file, with 500
//       service groups and 1,000 authenticated connections (target, no baseline).
// Each stops what it started; a group left behind below the agents' fails the benchmark.
// Placement, as on a host whose other CPUs are busy with game servers: the serving side (the
// agent, its threads and what it runs; the baseline program and what it runs) on CPU 1, the
// client on CPU 0. The agent's placement is restored at the end.
// The agent must already listen on 127.0.0.1 (bench/run starts one). Everything runs as root,
// talks only to 127.0.0.1 and creates no accounts.
//
// kadrel-bench --port P --sid S --pass P --agent-pid PID --workdir DIR
//              [--iterations N] [--size-mib M] [--connections C] [--concurrent K] [--only
//              1|2|3|5|6|7|8|9|10|11|12|13|14]
//              [--tls-port P --tls-agent-pid PID --tls-files DIR]
//              [--nogroups-port P --nogroups-agent-pid PID]
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/PanelClient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0;
  std::string sid, pass, workdir;
  pid_t agentPid = 0;
  int iterations = 300;
  long sizeMiB = 256;
  int connections = 1000;
  int concurrent = 200;
  int only = 0;
  int tlsPort = 0;
  pid_t tlsPid = 0;
  std::string tlsFiles;
  int noGroupsPort = 0;
  pid_t noGroupsPid = 0;
};

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "kadrel-bench: %s\n", what.c_str());
  exit(1);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ---- Placement ----

const int kServeCpu = 1, kClientCpu = 0;
bool placed = false;  // false on a machine with one CPU: nothing is pinned

cpu_set_t oneCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return set;
}

// Sets the affinity of every thread of process `pid`.
void pinProcess(pid_t pid, const cpu_set_t& set) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(tasks.c_str());
  if (!d) fail("cannot list the threads of " + std::to_string(pid));
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    sched_setaffinity(static_cast<pid_t>(atoi(e->d_name)), sizeof set, &set);
  }
  closedir(d);
}

// Places the agent (threads made later inherit it) and this client; returns the agent's former
// placement.
cpu_set_t place(pid_t agent) {
  cpu_set_t before;
  CPU_ZERO(&before);
  sched_getaffinity(agent, sizeof before, &before);
  placed = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
  if (!placed) return before;
  pinProcess(agent, oneCpu(kServeCpu));
  cpu_set_t client = oneCpu(kClientCpu);
  if (sched_setaffinity(0, sizeof client, &client) != 0) fail("cannot place the client on CPU 0");
  return before;
}

// Runs `body` in a forked copy of this program placed like the agent (the baseline program);
// returns the figure it measured.
double inBaseline(const std::function<double()>& body) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) fail("pipe failed");
  pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    if (placed) {
      cpu_set_t serve = oneCpu(kServeCpu);
      sched_setaffinity(0, sizeof serve, &serve);
    }
    double figure = body();
    _exit(write(p[1], &figure, sizeof figure) == sizeof figure ? 0 : 1);
  }
  close(p[1]);
  double figure = -1;
  ssize_t got = read(p[0], &figure, sizeof figure);
  close(p[0]);
  int status;
  waitpid(pid, &status, 0);
  if (got != sizeof figure || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the baseline failed");
  return figure;
}

// Starts `argv` (a program name is looked up in PATH) placed as the agent is, its output to
// `outFd` when one is given; returns its pid.
pid_t startPlaced(std::vector<std::string> argv, int outFd = -1) {
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    if (placed) {
      cpu_set_t serve = oneCpu(kServeCpu);
      sched_setaffinity(0, sizeof serve, &serve);
    }
    if (outFd >= 0) {
      dup2(outFd, STDOUT_FILENO);
      dup2(outFd, STDERR_FILENO);
    }
    std::vector<char*> execArgs;
    for (std::string& a : argv) execArgs.push_back(&a[0]);
    execArgs.push_back(nullptr);
    execvp(execArgs[0], execArgs.data());
    _exit(127);
  }
  return pid;
}

pid_t spawnBash(const char* line, posix_spawn_file_actions_t* actions = nullptr) {
  const char* const argv[] = {"bash", "-c", line, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/bash", actions, nullptr, const_cast<char* const*>(argv), environ) != 0)
    fail("posix_spawn failed");
  return pid;
}

void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// ---- Output ----

void printHeader() {
  printf("%-44s %12s %12s %8s  %s\n", "figure", "agent", "baseline", "ratio", "target");
  fflush(stdout);
}

void printFigure(const std::string& label, double agent, double base, const char* unit, double ratio,
                 const char* target) {
  char a[32], b[32];
  snprintf(a, sizeof a, "%.3g %s", agent, unit);
  snprintf(b, sizeof b, "%.3g %s", base, unit);
  printf("%-44s %12s %12s %7.2fx  %s\n", label.c_str(), a, b, ratio, target);
  fflush(stdout);
}

void printNote(const std::string& note) {
  printf("%-44s %s\n", "", note.c_str());
  fflush(stdout);
}

// ---- Connections ----

// The client side of the TLS figures: trusts the CA of --tls-files.
const TlsClientContext& tlsContext(const Options& o) {
  static TlsClientContext context;
  std::string error;
  if (!context && !(context = MakeClientTls({o.tlsFiles + "/ca.pem", "", ""}, &error))) fail("TLS: " + error);
  return context;
}

// An authenticated connection with the given session settings, to the TLS agent when `tls`, else
// to `port` (the agent's when 0).
std::unique_ptr<PanelClient> session(const Options& o, const std::string& closeFlag, bool tls = false,
                                     int port = 0) {
  auto client = std::make_unique<PanelClient>();
  std::string error;
  if (tls) client->useTls(tlsContext(o));
  if (!client->openSession("127.0.0.1",
                           tls        ? o.tlsPort
                           : port > 0 ? port
                                      : o.port,
                           {o.sid, o.pass, "root", "yes", closeFlag}, &error))
    fail("session: " + error);
  return client;
}

void sendFrame(int fd, const std::string& payload) {
  const std::string f = PanelClient::frame(payload);
  if (send(fd, f.data(), f.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(f.size())) fail("send failed");
}

// A raw authenticated connection that closes after its reply; the caller sends the instruction
// and reads the reply itself.
int rawSession(const Options& o) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("connect failed");
  auto readLine = [&] {
    std::string line;
    char c;
    while (!(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)) {
      if (read(fd, &c, 1) != 1) fail("connection closed during set-up");
      line.push_back(c);
    }
  };
  for (const std::string& m : {"SID " + o.sid, "Passphrase " + o.pass, std::string("cmd_user: root"),
                               std::string("cmd_return: yes"), std::string("cmd_close: yes")}) {
    sendFrame(fd, m);
    readLine();
  }
  return fd;
}

// Reads `fd` in 64 KiB blocks until end of file; returns the byte count and keeps the last 3.
size_t drain(int fd, std::string* tail) {
  static char buf[65536];
  size_t total = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    if (tail) {
      tail->append(buf, static_cast<size_t>(n));
      if (tail->size() > 3) tail->erase(0, tail->size() - 3);
    }
  }
  return total;
}

long statusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const size_t len = strlen(field);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, len, field) == 0) return atol(line.c_str() + len);
  fail(std::string("no ") + field + " for process " + std::to_string(pid));
}

// A file of `size` pseudo-random bytes.
std::string makeFile(const Options& o, size_t size) {
  const std::string file = o.workdir + "/bench-output.bin";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (size_t written = 0; written < size; written += block.size() * 8) {
    for (uint64_t& v : block) v = (x ^= x << 13, x ^= x >> 7, x ^= x << 17);
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(std::min(size - written, block.size() * 8)));
  }
  out.close();
  if (!out) fail("cannot write " + file);
  // Written back now, so that the write-back does not run during a measurement.
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) fail("cannot sync " + file);
  close(fd);
  return file;
}

// ---- Figures 1 and 2 ----

// Milliseconds per "command:_:true" and per baseline spawn, in interleaved blocks so that drifts
// of the machine hit both alike.
void callTrue(PanelClient& client) {
  std::string reply;
  if (!client.request("cmd_exec: command:_:true", reply) || reply != "\n") fail("unexpected reply to true");
}

void trueRoundTrip(const Options& o, const std::string& label, const char* target) {
  auto client = session(o, "no");
  auto call = [&] { callTrue(*client); };
  auto direct = [](int n) {
    return [n] {
      auto start = Clock::now();
      for (int i = 0; i < n; ++i) reap(spawnBash("true"));
      return secondsSince(start);
    };
  };
  for (int i = 0; i < 20; ++i) call();  // warm up
  inBaseline(direct(20));
  double agentTotal = 0, directTotal = 0;
  const int block = 50;
  for (int done = 0; done < o.iterations; done += block) {
    const int n = std::min(block, o.iterations - done);
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) call();
    agentTotal += secondsSince(start);
    directTotal += inBaseline(direct(n));
  }
  const double agentMs = agentTotal * 1000 / o.iterations, directMs = directTotal * 1000 / o.iterations;
  printFigure(label, agentMs, directMs, "ms", agentMs / directMs, target);
}

void roundTrip(const Options& o) { trueRoundTrip(o, "command:_:true, reply, kept connection", "<= 1.1x"); }

// Figure 9: the same over TLS, against the plaintext agent.
void tlsRoundTrip(const Options& o) {
  auto plain = session(o, "no"), tls = session(o, "no", true);
  auto calls = [](PanelClient& client, int n) {
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) callTrue(client);
    return secondsSince(start);
  };
  calls(*plain, 20);  // warm up
  calls(*tls, 20);
  double tlsTotal = 0, plainTotal = 0;
  const int block = 50;
  for (int done = 0; done < o.iterations; done += block) {
    const int n = std::min(block, o.iterations - done);
    tlsTotal += calls(*tls, n);
    plainTotal += calls(*plain, n);
  }
  const double tlsMs = tlsTotal * 1000 / o.iterations, plainMs = plainTotal * 1000 / o.iterations;
  printFigure("the same over TLS, against plaintext", tlsMs, plainMs, "ms", tlsMs / plainMs, "<= 1.1x");
}

void roundTripBesideUnreadReply(const Options& o) {
  const size_t size = static_cast<size_t>(o.sizeMiB) << 20;
  const std::string file = makeFile(o, size);
  // Another panel asks for the large output and reads none of it.
  const int holder = rawSession(o);
  sendFrame(holder, "cmd_exec: command:_:cat " + file);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long rss = statusField(o.agentPid, "VmRSS:");
  char label[96];
  snprintf(label, sizeof label, "the same, %ld MiB reply unread elsewhere", o.sizeMiB);
  trueRoundTrip(o, label, "<= 1.15x");
  printNote("agent VmRSS " + std::to_string(rss / 1024) + " MiB while the reply waits");
  close(holder);
  unlink(file.c_str());
}

// ---- Figure 3 ----

// Seconds to read "cat FILE" (`size` bytes) from a pipe in 64 KiB blocks: the baseline of the
// large replies.
double pipeCat(const std::string& file, size_t size) {
  auto start = Clock::now();
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) fail("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, p[1], STDOUT_FILENO);
  const std::string line = "exec cat " + file;
  const pid_t pid = spawnBash(line.c_str(), &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(p[1]);
  const size_t got = drain(p[0], nullptr);
  close(p[0]);
  reap(pid);
  const double seconds = secondsSince(start);
  if (got != size) fail("cat through a pipe gave " + std::to_string(got) + " bytes");
  return seconds;
}

// Runs each of `runs` 3 times, interleaved (the first of each, then the second...); returns the
// seconds of each run, per entry of `runs`.
std::vector<std::vector<double>> interleaved(const std::vector<std::function<double()>>& runs) {
  std::vector<std::vector<double>> seconds(runs.size());
  for (int i = 0; i < 3; ++i)
    for (size_t r = 0; r < runs.size(); ++r) seconds[r].push_back(runs[r]());
  return seconds;
}

void throughput(const Options& o) {
  const size_t size = static_cast<size_t>(o.sizeMiB) << 20;
  const std::string file = makeFile(o, size);

  // The reply is read the way a panel reads one that ends the connection: until close.
  std::vector<double> firstBytes;
  auto agentRun = [&]() -> double {
    const int fd = rawSession(o);
    auto start = Clock::now();
    sendFrame(fd, "cmd_exec: command:_:cat " + file);
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    firstBytes.push_back(secondsSince(start));
    std::string tail;
    const size_t got = drain(fd, &tail);
    const double seconds = secondsSince(start);
    close(fd);
    if (got != size + 3 || tail != "\n\r\n")
      fail("reply of " + std::to_string(got) + " bytes, expected " + std::to_string(size + 3));
    return seconds;
  };
  char label[96];
  snprintf(label, sizeof label, "command:_:cat, %ld MiB, request to last byte", o.sizeMiB);
  const auto runs = interleaved({agentRun, [&] { return inBaseline([&] { return pipeCat(file, size); }); }});
  unlink(file.c_str());
  const std::vector<double>&agentRuns = runs[0], &pipeRuns = runs[1];
  const double agentRate = size / median(agentRuns) / 1e6, pipeRate = size / median(pipeRuns) / 1e6;
  printFigure(label, agentRate, pipeRate, "MB/s", agentRate / pipeRate, ">= 0.6x (median of 3)");
  char note[160];
  snprintf(note, sizeof note, "first reply byte after %.1f ms, whole reply %.0f ms, pipe alone %.0f ms",
           median(firstBytes) * 1000, median(agentRuns) * 1000, median(pipeRuns) * 1000);
  printNote(note);
}

// A TCP port on 127.0.0.1 that nothing listens on now, for a program that listens itself.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    fail("cannot find a free port");
  close(fd);
  return ntohs(addr.sin_port);
}

// Figure 10: the same reply over TLS, read as kadrel-client reads it, against what an operator
// runs instead of the agent's TLS: a stock TLS tunnel (socat, with the agent's certificate and
// key) that runs "cat FILE" for each connection, placed as the agent is. The pipe is shown beside
// them. Both TLS ends negotiate with OpenSSL's defaults; the figure names the suite each agreed.
void tlsThroughput(const Options& o) {
  const size_t size = static_cast<size_t>(o.sizeMiB) << 20;
  const std::string file = makeFile(o, size);
  std::string agentSuite, tunnelSuite;
  // The reply from the request (agent) or from the end of the handshake (tunnel) to the close.
  auto drainTls = [&](PanelClient& client, size_t expected, std::string& suite) {
    suite = client.tlsSuite();
    auto start = Clock::now();
    unsigned long long got = 0;
    std::string tail;
    if (!client.drainUntilClose(-1, got, tail, 3)) fail("the TLS reply did not end with the connection");
    const double seconds = secondsSince(start);
    if (got != expected)
      fail("TLS reply of " + std::to_string(got) + " bytes, expected " + std::to_string(expected));
    if (expected == size + 3 && tail != "\n\r\n") fail("the TLS reply did not end as the agent ends it");
    return seconds;
  };
  auto agentRun = [&]() -> double {
    auto client = session(o, "yes", true);
    if (!client->sendFrame("cmd_exec: command:_:cat " + file)) fail("cannot send to the TLS agent");
    return drainTls(*client, size + 3, agentSuite);
  };
  const int tunnelPort = freePort();
  const std::string log = o.workdir + "/tunnel.log";
  const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t tunnel = startPlaced({"socat",
                                    "OPENSSL-LISTEN:" + std::to_string(tunnelPort) +
                                        ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + o.tlsFiles +
                                        "/agent.pem,key=" + o.tlsFiles + "/agent.key",
                                    "EXEC:cat " + file},
                                   logFd);
  close(logFd);
  auto tunnelRun = [&]() -> double {
    PanelClient client;
    client.useTls(tlsContext(o));
    std::string error;
    if (!client.connect("127.0.0.1", tunnelPort, &error)) fail("TLS tunnel: " + error + " (see " + log + ")");
    return drainTls(client, size, tunnelSuite);
  };
  // Until the tunnel listens (a connection refused before), at most 5 s.
  for (int i = 0;; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(tunnelPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (up) break;
    if (i == 100) fail("the TLS tunnel (socat) does not listen; see " + log);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto runs =
      interleaved({agentRun, tunnelRun, [&] { return inBaseline([&] { return pipeCat(file, size); }); }});
  kill(tunnel, SIGTERM);
  reap(tunnel);
  unlink(file.c_str());
  if (agentSuite != tunnelSuite) fail("the agent negotiated " + agentSuite + ", the tunnel " + tunnelSuite);
  const double agentRate = size / median(runs[0]) / 1e6, tunnelRate = size / median(runs[1]) / 1e6,
               pipeRate = size / median(runs[2]) / 1e6;
  printFigure("the same over TLS, against a TLS tunnel", agentRate, tunnelRate, "MB/s",
              agentRate / tunnelRate, ">= 1.0x (median of 3)");
  char note[160];
  snprintf(note, sizeof note, "socat serving cat; both %s; a pipe alone %.0f MB/s (%.2fx)",
           agentSuite.c_str(), pipeRate, agentRate / pipeRate);
  printNote(note);
}

// ---- Figure 4 ----

void concurrentSleeps(const Options& o) {
  const int n = o.concurrent;
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < static_cast<rlim_t>(n) + 64) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, static_cast<rlim_t>(n) + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  // Every panel connection is opened, authenticated and asks at the same moment.
  std::mutex m;
  std::condition_variable cv;
  bool go = false;
  std::atomic<int> failures{0};
  std::vector<double> ends(static_cast<size_t>(n));
  Clock::time_point start;
  std::vector<std::thread> panels;
  for (int i = 0; i < n; ++i) {
    panels.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return go; });
      }
      PanelClient client;
      std::string reply;
      if (!client.openSession("127.0.0.1", o.port, {o.sid, o.pass, "root", "yes", "yes"}) ||
          !client.request("cmd_exec: command:_:sleep 1", reply) || reply != "\n")
        ++failures;
      ends[static_cast<size_t>(i)] = secondsSince(start);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::lock_guard<std::mutex> lock(m);
    start = Clock::now();
    go = true;
  }
  cv.notify_all();
  for (std::thread& t : panels) t.join();
  if (failures > 0) fail(std::to_string(failures.load()) + " of the concurrent sleeps failed");
  const double agentLast = *std::max_element(ends.begin(), ends.end());

  const double baseLast = inBaseline([n] {
    auto begin = Clock::now();
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) pids.push_back(spawnBash("sleep 1"));
    for (pid_t pid : pids) reap(pid);
    return secondsSince(begin);
  });
  char label[96];
  snprintf(label, sizeof label, "%d concurrent sleep 1, %d connections, last", n, n);
  printFigure(label, agentLast, baseLast, "s", agentLast / baseLast, "<= 1.1x");
  char note[96];
  snprintf(note, sizeof note, "median reply after %.2f s", median(ends));
  printNote(note);
}

// ---- Figure 7 ----

// A loopback connection to `port` (Nagle off, as the panel's).
int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("connect failed");
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Seconds for one fresh connection to `port`: connect, each of `frames` sent and its reply read
// (up to CR LF), close.
double freshConnection(int port, const std::vector<std::string>& frames) {
  char buf[4096];
  auto start = Clock::now();
  const int fd = connectTo(port);
  for (const std::string& f : frames) {
    if (send(fd, f.data(), f.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(f.size())) fail("send failed");
    size_t have = 0;
    while (have < 2 || buf[have - 2] != '\r' || buf[have - 1] != '\n') {
      ssize_t n = recv(fd, buf + have, sizeof buf - have, 0);
      if (n <= 0) fail("connection closed before a reply");
      have += static_cast<size_t>(n);
      if (have == sizeof buf) have = 0;  // a long reply: only its end matters
    }
  }
  close(fd);
  return secondsSince(start);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Starts kadrel-bench-echo with `args` after its listening descriptor, placed as the agent is;
// returns its port.
int startEcho(const std::vector<std::string>& args, pid_t& echoPid) {
  // The echo server listens on a descriptor made here.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 128) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    fail("cannot listen for the echo server");
  const int echoPort = ntohs(addr.sin_port);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) fail("cannot find this program");
  self[n] = '\0';
  std::string echo(self);
  echo = echo.substr(0, echo.rfind('/') + 1) + "kadrel-bench-echo";
  std::vector<std::string> argv{echo, std::to_string(listener)};
  argv.insert(argv.end(), args.begin(), args.end());
  echoPid = startPlaced(argv);
  close(listener);
  return echoPort;
}

// Seconds for one fresh TLS connection to `port` (handshake included), as freshConnection.
double freshTlsConnection(int port, const std::vector<std::string>& frames, const TlsClientContext& tls) {
  auto start = Clock::now();
  PanelClient client;
  client.useTls(tls);
  std::string error, reply;
  if (!client.connect("127.0.0.1", port, &error)) fail("TLS connection: " + error);
  for (const std::string& f : frames)
    if (!client.sendRaw(f) || !client.readReply(reply)) fail("TLS connection closed before a reply");
  client.close();
  return secondsSince(start);
}

// Figures 7 and 8: `one` measures one fresh connection to the port it is given, the agent's at
// `agentPort` against the echo server's started with `echoArgs`.
void compareFresh(const Options& o, int agentPort, const std::vector<std::string>& echoArgs,
                  const std::function<double(int, const std::vector<std::string>&)>& one, const char* label,
                  const char* target) {
  pid_t echoPid = 0;
  const int echoPort = startEcho(echoArgs, echoPid);
  std::vector<std::string> frames;
  for (const std::string& m :
       {"SID " + o.sid, "Passphrase " + o.pass, std::string("cmd_user: root"), std::string("cmd_return: yes"),
        std::string("cmd_close: yes"), std::string("cmd_exec: version")})
    frames.push_back(PanelClient::frame(m));
  const int total = std::max(o.iterations, 100) * 5;
  for (int i = 0; i < 50; ++i) {  // warm up
    one(agentPort, frames);
    one(echoPort, frames);
  }
  std::vector<double> agent, echoed;
  const int block = 50;
  for (int done = 0; done < total; done += block) {
    for (int i = 0; i < block; ++i) agent.push_back(one(agentPort, frames) * 1e6);
    for (int i = 0; i < block; ++i) echoed.push_back(one(echoPort, frames) * 1e6);
  }
  kill(echoPid, SIGTERM);
  reap(echoPid);

  const double agentMedian = median(agent), echoMedian = median(echoed);
  printFigure(label, agentMedian, echoMedian, "us", agentMedian / echoMedian, target);
  char note[160];
  snprintf(note, sizeof note, "p99 %.0f us, echo server %.0f us; %zu connections each",
           percentile(agent, 0.99), percentile(echoed, 0.99), agent.size());
  printNote(note);
}

void freshConnections(const Options& o) {
  compareFresh(o, o.port, {}, freshConnection, "fresh connection, six exchanges, median", "<= 1.15x");
}

void freshTlsConnections(const Options& o) {
  const TlsClientContext& tls = tlsContext(o);
  compareFresh(
      o, o.tlsPort, {o.tlsFiles + "/agent.pem", o.tlsFiles + "/agent.key"},
      [&](int port, const std::vector<std::string>& frames) { return freshTlsConnection(port, frames, tls); },
      "the same over TLS, TLS handshake included", "<= 1.5x");
}

// ---- Figure 5 ----

void idleConnections(const Options& o) {
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < static_cast<rlim_t>(o.connections) + 64) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, static_cast<rlim_t>(o.connections) + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  // Settle: one connection and its thread come and go before the first reading.
  session(o, "yes").reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = statusField(o.agentPid, "VmRSS:");

  std::vector<std::unique_ptr<PanelClient>> idle;
  idle.reserve(static_cast<size_t>(o.connections));
  for (int i = 0; i < o.connections; ++i) {
    auto client = std::make_unique<PanelClient>();
    std::string error;
    if (!client->connect("127.0.0.1", o.port, &error)) fail("connection " + std::to_string(i) + ": " + error);
    if (!client->handshake(o.sid, o.pass, &error))
      fail("handshake " + std::to_string(i) + " refused: " + error);
    idle.push_back(std::move(client));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long after = statusField(o.agentPid, "VmRSS:");
  const long threadsAfter = statusField(o.agentPid, "Threads:");
  idle.clear();

  // Idle workers kept for reuse serve some of them.
  if (threadsAfter < o.connections)
    fail("the agent runs " + std::to_string(threadsAfter) + " threads for " + std::to_string(o.connections) +
         " connections");
  const double perConnection = static_cast<double>(after - before) / o.connections;
  char label[96];
  snprintf(label, sizeof label, "%d idle authenticated connections, each", o.connections);
  printf("%-44s %8.2f KiB %12s %8s  %s\n", label, perConnection, "-", "-", "<= 9.5 KiB");
  printNote("VmRSS " + std::to_string(before) + " KiB -> " + std::to_string(after) + " KiB");
}

// ---- Figures 11, 12 and 13 ----

std::string ask(PanelClient& client, const std::string& instruction) {
  std::string reply;
  if (!client.request("cmd_exec: " + instruction, reply, 60000)) fail("no reply to " + instruction);
  return reply;
}

// A service of root on the agent at `port`: "b<n>g" on the agent with groups, "b<n>p" without,
// so that neither sees the other's session.
struct BenchService {
  std::unique_ptr<PanelClient> client;
  std::string id;
  BenchService(const Options& o, int port, const std::string& name)
      : client(session(o, "no", false, port)), id(name) {
    if (ask(*client, "addserver:_:" + id) != "Completed") fail("addserver " + id + " failed");
  }
  // Seconds from sending the start to its reply.
  double start(const std::string& startmode) {
    const auto begin = Clock::now();
    const std::string reply = ask(*client, "start:_:" + id + ":_:" + startmode);
    const double seconds = secondsSince(begin);
    if (reply.compare(0, 3, "cd ") != 0) fail("start of " + id + ": " + reply);
    return seconds;
  }
  void stop() {
    const std::string reply = ask(*client, "stop:_:" + id);
    if (reply != "Server stopped") fail("stop of " + id + ": " + reply);
  }
  // The live processes of its session: the screen process (from root's screen directory) and
  // every descendant.
  std::vector<pid_t> processes() const {
    std::vector<pid_t> found;
    for (const auto& e : std::filesystem::directory_iterator("/run/screen/S-root")) {
      const std::string name = e.path().filename();
      if (name.size() > id.size() + 8 &&
          name.compare(name.size() - id.size() - 8, std::string::npos, ".service" + id) == 0)
        found.push_back(static_cast<pid_t>(atoi(name.c_str())));
    }
    for (size_t grown = 0; grown != found.size();) {
      grown = found.size();
      for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const pid_t pid = static_cast<pid_t>(atoi(e.path().filename().c_str()));
        std::ifstream stat(e.path() / "stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        char state;
        int ppid;
        if (sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &ppid) == 2 && state != 'Z' &&
            std::find(found.begin(), found.end(), ppid) != found.end() &&
            std::find(found.begin(), found.end(), pid) == found.end())
          found.push_back(pid);
      }
    }
    return found;
  }
};

// The start mode of a service of `n` processes: screen, a shell and its sleeps (a script in
// root's home, which addserver made).
std::string manySleeps(size_t n) {
  std::ofstream("/home/root/bench-sleeps.sh") << "for i in $(seq \"$1\"); do sleep 600 & done; wait\n";
  return "bash ./bench-sleeps.sh " + std::to_string(n - 2);
}

// Waits until the service holds `n` processes at least.
void awaitProcesses(const BenchService& s, size_t n) {
  for (int i = 0; s.processes().size() < n; ++i) {
    if (i == 200) fail("service " + s.id + " did not reach " + std::to_string(n) + " processes");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// A process that has not ended: its /proc entry is there and not a zombie.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  return std::getline(stat, line) && line.rfind(')') != std::string::npos && line[line.rfind(')') + 2] != 'Z';
}

// Fails when a group of root's services is left below the groups this benchmark (and so each
// agent it measures) runs in, in any hierarchy mounted where Debian mounts them.
void expectNoGroupsLeft() {
  std::ifstream self("/proc/self/cgroup");
  for (std::string line; std::getline(self, line);) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    std::vector<std::string> tops;
    std::istringstream names(line.substr(a + 1, b - a - 1));
    for (std::string name; std::getline(names, name, ',');)
      tops.push_back("/sys/fs/cgroup/" + name.substr(name.find('=') + 1));
    if (tops.empty()) tops = {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"};
    for (const std::string& top : tops) {
      std::error_code ec;
      for (auto it = std::filesystem::recursive_directory_iterator(top + line.substr(b + 1), ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename() == "account-root")
          fail("a service's group was left: " + it->path().string());
    }
  }
}

void startInGroup(const Options& o) {
  BenchService grouped(o, o.port, "b11g"), plain(o, o.noGroupsPort, "b11p");
  std::vector<double> g, p;
  for (int i = 0; i < 7; ++i) {
    // Alternating which goes first.
    for (BenchService* s :
         i % 2 ? std::vector<BenchService*>{&plain, &grouped} : std::vector<BenchService*>{&grouped, &plain})
      (s == &grouped ? g : p).push_back(s->start("sleep 600") * 1000);
    grouped.stop();
    plain.stop();
  }
  expectNoGroupsLeft();
  const double gm = median(g), pm = median(p);
  char difference[32];
  snprintf(difference, sizeof difference, "%+.2f ms", gm - pm);
  printf("%-44s %12s %12s %8s  %s\n", "start in a group of its own, median", difference, "-", "-",
         "<= +5 ms");
  char note[128];
  snprintf(note, sizeof note, "%.2f ms against %.2f ms with service_groups=off (start waits 3 s)", gm, pm);
  printNote(note);
}

// Seconds from the end of the last of its processes to the reply of "stop".
double stopAfterEnd(BenchService& s, size_t n) {
  s.start(manySleeps(n));
  awaitProcesses(s, n);
  const std::vector<pid_t> pids = s.processes();
  std::atomic<bool> stopping{true};
  Clock::time_point ended;
  std::thread watch([&] {
    for (size_t left = pids.size(); left > 0 && stopping;
         std::this_thread::sleep_for(std::chrono::microseconds(500))) {
      left = 0;
      for (pid_t pid : pids) left += running(pid);
      ended = Clock::now();
    }
  });
  s.stop();
  const auto replied = Clock::now();
  stopping = false;
  watch.join();
  return std::chrono::duration<double>(replied - ended).count();
}

void stopOfMany(const Options& o) {
  BenchService grouped(o, o.port, "b12g"), plain(o, o.noGroupsPort, "b12p");
  std::vector<double> g, p;
  for (int i = 0; i < 3; ++i) {
    g.push_back(stopAfterEnd(grouped, 50) * 1000);
    p.push_back(stopAfterEnd(plain, 50) * 1000);
  }
  expectNoGroupsLeft();
  const double gm = median(g), pm = median(p);
  printFigure("stop of 50 processes, reply after their end", gm, pm, "ms", gm / pm, "<= 1000 ms");
}

void statsOfMany(const Options& o) {
  BenchService grouped(o, o.port, "b13g"), plain(o, o.noGroupsPort, "b13p");
  for (BenchService* s : {&grouped, &plain}) {
    s->start(manySleeps(100));
    awaitProcesses(*s, 100);
    const std::string stats = ask(*s->client, "servicestats:_:" + s->id);
    if (stats.find("{\"running\":true,") != 0 || atol(stats.c_str() + stats.find("\"tasks\":") + 8) < 100)
      fail("servicestats of " + s->id + ": " + stats);
  }
  auto calls = [](BenchService& s, int n) {
    const auto begin = Clock::now();
    for (int i = 0; i < n; ++i) ask(*s.client, "servicestats:_:" + s.id);
    return secondsSince(begin);
  };
  calls(grouped, 20);  // warm up
  calls(plain, 20);
  double gt = 0, pt = 0;
  const int block = 50;
  for (int done = 0; done < o.iterations; done += block) {
    const int n = std::min(block, o.iterations - done);
    gt += calls(grouped, n);
    pt += calls(plain, n);
  }
  grouped.stop();
  plain.stop();
  expectNoGroupsLeft();
  const double gm = gt * 1000 / o.iterations, pm = pt * 1000 / o.iterations;
  printFigure("servicestats, 100 processes, kept connection", gm, pm, "ms", gm / pm, "<= 2 ms, <= 0.1x");
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) fail("missing value for " + a);
    std::string v = argv[++i];
    if (a == "--port")
      o.port = atoi(v.c_str());
    else if (a == "--sid")
      o.sid = v;
    else if (a == "--pass")
      o.pass = v;
    else if (a == "--agent-pid")
      o.agentPid = static_cast<pid_t>(atoi(v.c_str()));
    else if (a == "--workdir")
      o.workdir = v;
    else if (a == "--iterations")
      o.iterations = atoi(v.c_str());
    else if (a == "--size-mib")
      o.sizeMiB = atol(v.c_str());
    else if (a == "--connections")
      o.connections = atoi(v.c_str());
    else if (a == "--concurrent")
      o.concurrent = atoi(v.c_str());
    else if (a == "--only")
      o.only = atoi(v.c_str());
    else if (a == "--tls-port")
      o.tlsPort = atoi(v.c_str());
    else if (a == "--tls-agent-pid")
      o.tlsPid = static_cast<pid_t>(atoi(v.c_str()));
    else if (a == "--tls-files")
      o.tlsFiles = v;
    else if (a == "--nogroups-port")
      o.noGroupsPort = atoi(v.c_str());
    else if (a == "--nogroups-agent-pid")
      o.noGroupsPid = static_cast<pid_t>(atoi(v.c_str()));
    else if (a.compare(0, 6, "--md5-") != 0)  // those are kadrel-bench-md5's
      fail("unknown option " + a);
  }
  if (o.port <= 0 || o.sid.empty() || o.pass.empty() || o.agentPid <= 0 || o.workdir.empty())
    fail(
        "usage: kadrel-bench --port P --sid S --pass P --agent-pid PID --workdir DIR [--iterations N] "
        "[--size-mib M] [--connections C] [--concurrent K] [--only 1|2|3|5|6|7|8|9|10|11|12|13|14] "
        "[--tls-port "
        "P "
        "--tls-agent-pid PID --tls-files DIR]");
  if ((o.tlsPort > 0) != (o.tlsPid > 0) || (o.tlsPort > 0) == o.tlsFiles.empty())
    fail("--tls-port, --tls-agent-pid and --tls-files go together");
  if ((o.noGroupsPort > 0) != (o.noGroupsPid > 0))
    fail("--nogroups-port and --nogroups-agent-pid go together");
  if (o.iterations <= 0 || o.sizeMiB <= 0 || o.connections <= 0 || o.concurrent <= 0)
    fail("counts must be positive");
  return o;
}

// ---- Figure 14 ----

// The CPU time of the agent's metrics writer per write of its file, with 500 service groups
// (empty: made here in the agent's subtree, beside any of its own) and 1,000 authenticated
// connections open. bench/run starts the agent with metrics_interval=1 and the file in --workdir.
// The writer's thread is found by its name, its time read from the scheduler (nanoseconds), its
// writes counted by the file's inode, which each rename changes.
void metricsWriter(const Options& o) {
  const std::string file = o.workdir + "/kadrel.prom";
  std::string task;
  const std::string tasks = "/proc/" + std::to_string(o.agentPid) + "/task";
  for (const auto& t : std::filesystem::directory_iterator(tasks)) {
    std::ifstream comm(t.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "kadrel-metrics") task = t.path().string();
  }
  if (task.empty()) fail("the agent runs no metrics writer (metrics_file in its kadrel.ini?)");
  // The agent's subtree in each of its hierarchies.
  std::vector<std::string> subtrees;
  std::ifstream self("/proc/" + std::to_string(o.agentPid) + "/cgroup");
  for (std::string line; std::getline(self, line);) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    std::string name = line.substr(a + 1, b - a - 1);
    name = name.empty() ? "unified" : name.substr(name.find('=') + 1);
    const std::string dir = "/sys/fs/cgroup/" + name + line.substr(b + 1) + "/kadrel-services";
    if (access(dir.c_str(), F_OK) == 0)
      subtrees.push_back(dir + "/account-root");
    else if (name == "unified" &&
             access(("/sys/fs/cgroup" + line.substr(b + 1) + "/kadrel-services").c_str(), F_OK) == 0)
      subtrees.push_back("/sys/fs/cgroup" + line.substr(b + 1) + "/kadrel-services/account-root");
  }
  if (subtrees.empty()) fail("the agent has no service groups' subtree");
  const int services = 500;
  for (const std::string& dir : subtrees) {
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < services; ++i) mkdir((dir + "/servicebm" + std::to_string(i)).c_str(), 0755);
  }
  std::vector<std::unique_ptr<PanelClient>> open;
  for (int i = 0; i < o.connections; ++i) {
    auto client = std::make_unique<PanelClient>();
    std::string error;
    if (!client->connect("127.0.0.1", o.port, &error) || !client->handshake(o.sid, o.pass, &error))
      fail("connection " + std::to_string(i) + ": " + error);
    open.push_back(std::move(client));
  }
  const auto runtime = [&] {
    std::ifstream in(task + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return ns;
  };
  const auto inode = [&] {
    struct stat st;
    return stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  // From the first write that saw them all, to the last of about 10.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ino_t last = inode();
  while (inode() == last) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  last = inode();
  const unsigned long long before = runtime();
  int writes = 0;
  while (writes < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (inode() != last) ++writes, last = inode();
  }
  const double perWrite = static_cast<double>(runtime() - before) / writes / 1e6;
  std::ifstream text(file);
  const std::string whole((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
  open.clear();
  for (const std::string& dir : subtrees) {
    for (int i = 0; i < services; ++i) rmdir((dir + "/servicebm" + std::to_string(i)).c_str());
    rmdir(dir.c_str());
  }
  const size_t seen = std::count(whole.begin(), whole.end(), '\n');
  printf("%-44s %9.3f ms %12s %8s  %s\n", "metrics file: writer CPU per write", perWrite, "-", "-",
         "<= 1 ms");
  printNote(std::to_string(services) + " service groups, " + std::to_string(o.connections) +
            " connections; " + std::to_string(seen) + " lines, " + std::to_string(whole.size() / 1024) +
            " KiB");
}

}  // namespace

// In the order printed; `id` is the number --only takes (4 is kadrel-bench-md5's figure). The
// TLS figures run only with a TLS agent. Memory first, while the agent has served nothing else:
// what earlier figures left in its heap would be counted as room the idle connections reuse.
enum Needs { kAgent, kTlsAgent, kNoGroupsAgent };
const struct Figure {
  int id;
  void (*run)(const Options&);
  Needs needs;
} kFigures[] = {{3, idleConnections, kAgent},
                {1, roundTrip, kAgent},
                {5, roundTripBesideUnreadReply, kAgent},
                {2, throughput, kAgent},
                {6, concurrentSleeps, kAgent},
                {7, freshConnections, kAgent},
                {8, freshTlsConnections, kTlsAgent},
                {9, tlsRoundTrip, kTlsAgent},
                {10, tlsThroughput, kTlsAgent},
                {11, startInGroup, kNoGroupsAgent},
                {12, stopOfMany, kNoGroupsAgent},
                {13, statsOfMany, kNoGroupsAgent},
                {14, metricsWriter, kAgent}};

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.only != 0 &&
      std::none_of(std::begin(kFigures), std::end(kFigures), [&](const Figure& f) { return f.id == o.only; }))
    return 0;  // another program's figure
  // A write to a TLS connection the agent closed fails instead of ending the benchmark.
  signal(SIGPIPE, SIG_IGN);
  const cpu_set_t agentBefore = place(o.agentPid);
  cpu_set_t tlsBefore;
  if (o.tlsPid > 0 && sched_getaffinity(o.tlsPid, sizeof tlsBefore, &tlsBefore) == 0 && placed)
    pinProcess(o.tlsPid, oneCpu(kServeCpu));
  cpu_set_t noGroupsBefore;
  if (o.noGroupsPid > 0 && sched_getaffinity(o.noGroupsPid, sizeof noGroupsBefore, &noGroupsBefore) == 0 &&
      placed)
    pinProcess(o.noGroupsPid, oneCpu(kServeCpu));
  if (placed)
    printf("placement: agent and baseline programs on CPU %d, client on CPU %d\n", kServeCpu, kClientCpu);
  else
    printf("placement: one CPU only, nothing pinned\n");
  struct stat log;
  if (stat("/dev/log", &log) != 0 || !S_ISSOCK(log.st_mode))
    printf("no system logger at /dev/log: the agent drops its audit lines, which flatters the figures\n");
  printHeader();
  for (const Figure& f : kFigures)
    if ((o.only == 0 || o.only == f.id) && (f.needs != kTlsAgent || o.tlsPort > 0) &&
        (f.needs != kNoGroupsAgent || o.noGroupsPort > 0))
      f.run(o);
  if (placed) pinProcess(o.agentPid, agentBefore);
  if (placed && o.tlsPid > 0) pinProcess(o.tlsPid, tlsBefore);
  if (placed && o.noGroupsPid > 0) pinProcess(o.noGroupsPid, noGroupsBefore);
  return 0;
}
