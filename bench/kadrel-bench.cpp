// Measures a running agent against what the same work costs without it:
//   1. round trip of "command:_:true" with a reply on one kept-open connection, against
//      fork + exec of "/bin/bash -c true" + waitpid done by this program;
//   2. throughput of a large command reply ("cat" of a file), against reading "cat" of the same
//      file through a pipe;
//   3. resident memory the agent spends per idle, authenticated connection.
// The agent must already listen on 127.0.0.1 (bench/run starts one). Everything runs as root,
// talks only to 127.0.0.1 and creates no accounts.
//
// kadrel-bench --port P --sid S --pass P --agent-pid PID --workdir DIR
//              [--iterations N] [--size-mib M] [--connections C] [--only 1|2|3]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/PanelClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0;
  std::string sid, pass, workdir;
  pid_t agentPid = 0;
  int iterations = 300;
  long sizeMiB = 256;
  int connections = 1000;
  int only = 0;
};

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "kadrel-bench: %s\n", what.c_str());
  exit(1);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// An authenticated connection with the given session settings.
std::unique_ptr<PanelClient> session(const Options& o, const std::string& closeFlag) {
  auto client = std::make_unique<PanelClient>();
  std::string error;
  if (!client->openSession("127.0.0.1", o.port, {o.sid, o.pass, "root", "yes", closeFlag}, &error))
    fail("session: " + error);
  return client;
}

// fork + exec of `argv` with its standard output on `outFd` (or untouched when -1).
pid_t spawn(const char* const argv[], int outFd) {
  pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    if (outFd >= 0 && dup2(outFd, STDOUT_FILENO) < 0) _exit(127);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  return pid;
}

void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void printRatio(const char* label, double figure, const char* figureUnit, const char* baseLabel, double base,
                double ratio, const char* target) {
  printf("%-34s %9.2f %-5s  %-26s %9.2f %-5s  ratio %5.2f (target %s)\n", label, figure, figureUnit,
         baseLabel, base, figureUnit, ratio, target);
  fflush(stdout);
}

// Figure 1.
void roundTrip(const Options& o) {
  auto client = session(o, "no");
  std::string reply;
  auto call = [&] {
    if (!client->request("cmd_exec: command:_:true", reply) || reply != "\n")
      fail("unexpected reply to true");
  };
  const char* const bashTrue[] = {"/bin/bash", "-c", "true", nullptr};
  auto direct = [&] { reap(spawn(bashTrue, -1)); };

  for (int i = 0; i < 20; ++i) {  // warm both paths up
    call();
    direct();
  }
  // Interleave blocks of both so that drifts of the machine hit both alike.
  double agentTotal = 0, directTotal = 0;
  const int block = 50;
  for (int done = 0; done < o.iterations; done += block) {
    int n = std::min(block, o.iterations - done);
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) call();
    agentTotal += secondsSince(start);
    start = Clock::now();
    for (int i = 0; i < n; ++i) direct();
    directTotal += secondsSince(start);
  }
  double agentMs = agentTotal * 1000 / o.iterations, directMs = directTotal * 1000 / o.iterations;
  printRatio("command:_:true round trip", agentMs, "ms", "baseline bash -c true", directMs,
             agentMs / directMs, "<= 1.3");
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

// Figure 2.
void throughput(const Options& o) {
  const std::string file = o.workdir + "/bench-output.bin";
  const size_t size = static_cast<size_t>(o.sizeMiB) << 20;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (size_t written = 0; written < size; written += block.size() * 8) {
      for (uint64_t& v : block) v = (x ^= x << 13, x ^= x >> 7, x ^= x << 17);
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min(size - written, block.size() * 8)));
    }
    if (!out) fail("cannot write " + file);
  }

  // The reply is read the way a panel reads one that ends the connection: until close. The
  // handshake goes through PanelClient; the large reply through a raw descriptor, so that only
  // the agent's speed is measured, not the growth of a client-side buffer.
  double firstByte = 1e9;
  auto agentRun = [&]() -> double {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("connect failed");
    auto sendFrame = [&](const std::string& payload) {
      std::string f = PanelClient::frame(payload);
      if (send(fd, f.data(), f.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(f.size())) fail("send failed");
    };
    auto readLine = [&] {
      std::string line;
      char c;
      while (!(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)) {
        if (read(fd, &c, 1) != 1) fail("connection closed during set-up");
        line.push_back(c);
      }
      return line;
    };
    for (const std::string& m : {"SID " + o.sid, "Passphrase " + o.pass, std::string("cmd_user: root"),
                                 std::string("cmd_return: yes"), std::string("cmd_close: yes")}) {
      sendFrame(m);
      readLine();
    }
    auto start = Clock::now();
    sendFrame("cmd_exec: command:_:cat " + file);
    // The agent sends nothing before it has collected the whole output.
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    firstByte = std::min(firstByte, secondsSince(start));
    std::string tail;
    size_t got = drain(fd, &tail);
    double seconds = secondsSince(start);
    close(fd);
    if (got != size + 3 || tail != "\n\r\n")
      fail("reply of " + std::to_string(got) + " bytes, expected " + std::to_string(size + 3));
    return seconds;
  };
  auto pipeRun = [&]() -> double {
    auto start = Clock::now();
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) fail("pipe failed");
    const char* const cat[] = {"/bin/cat", file.c_str(), nullptr};
    pid_t pid = spawn(cat, p[1]);
    close(p[1]);
    size_t got = drain(p[0], nullptr);
    close(p[0]);
    reap(pid);
    double seconds = secondsSince(start);
    if (got != size) fail("cat through a pipe gave " + std::to_string(got) + " bytes");
    return seconds;
  };

  double agentBest = 1e9, pipeBest = 1e9;
  for (int i = 0; i < 3; ++i) {
    agentBest = std::min(agentBest, agentRun());
    pipeBest = std::min(pipeBest, pipeRun());
  }
  unlink(file.c_str());
  double agentRate = size / agentBest / 1e6, pipeRate = size / pipeBest / 1e6;
  char label[64];
  snprintf(label, sizeof label, "command:_:cat (%ld MiB) reply", o.sizeMiB);
  printRatio(label, agentRate, "MB/s", "baseline cat | pipe", pipeRate, agentRate / pipeRate, ">= 0.5");
  printf(
      "%-34s first reply byte after %.0f ms (output collected), whole reply after %.0f ms, pipe alone %.0f "
      "ms\n",
      "", firstByte * 1000, agentBest * 1000, pipeBest * 1000);
}

long residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  fail("no VmRSS for process " + std::to_string(pid));
}

int agentThreads(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 8, "Threads:") == 0) return atoi(line.c_str() + 8);
  return -1;
}

// Figure 3.
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
  const long before = residentKiB(o.agentPid);
  const int threadsBefore = agentThreads(o.agentPid);

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
  const long after = residentKiB(o.agentPid);
  const int threadsAfter = agentThreads(o.agentPid);
  idle.clear();

  if (threadsAfter - threadsBefore < o.connections)
    fail("the agent runs " + std::to_string(threadsAfter) + " threads for " + std::to_string(o.connections) +
         " connections");
  double perConnection = static_cast<double>(after - before) / o.connections;
  printf("%-34s %9.2f KiB  (VmRSS %ld KiB -> %ld KiB for %d authenticated connections)  (target < 64 KiB)\n",
         "idle connection memory", perConnection, before, after, o.connections);
  fflush(stdout);
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
    else if (a == "--only")
      o.only = atoi(v.c_str());
    else
      fail("unknown option " + a);
  }
  if (o.port <= 0 || o.sid.empty() || o.pass.empty() || o.agentPid <= 0 || o.workdir.empty())
    fail(
        "usage: kadrel-bench --port P --sid S --pass P --agent-pid PID --workdir DIR [--iterations N] "
        "[--size-mib M] [--connections C] [--only 1|2|3]");
  if (o.iterations <= 0 || o.sizeMiB <= 0 || o.connections <= 0) fail("counts must be positive");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.only == 0 || o.only == 1) roundTrip(o);
  if (o.only == 0 || o.only == 2) throughput(o);
  if (o.only == 0 || o.only == 3) idleConnections(o);
  return 0;
}
