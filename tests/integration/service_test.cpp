// Game services in real screen sessions of a real account: start, status, console input,
// stop, the refusals, renice, provisioning ("addserver", "updateserver", "removeserver"), and
// each service's control group, limits and usage on this host's real hierarchies (the sandbox
// gives each test a group of its own in each). Screen writes its log in bursts (about every
// 10 s): log checks wait long.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "AgentFixture.h"

namespace {

const std::string kAccount = "svcgame";
const std::string kHome = "/home/" + kAccount;

// A shell line run as the account, as root would with su; its standard output.
std::string asAccount(const std::string& line) {
  return shell("su -s /bin/bash " + kAccount + " -c " + shellQuote(line) + " 2>/dev/null");
}
// Asks `done` every 200 ms (each ask may start programs) for at most `timeoutMs`.
bool pollUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  return waitUntil([&] { return std::this_thread::sleep_for(std::chrono::milliseconds(200)), done(); },
                   timeoutMs);
}
// The account's screen sessions: session name -> pid of its screen process (several sessions
// of one name are kept under "name#2", ...).
std::map<std::string, std::string> sessions() {
  std::map<std::string, std::string> found;
  std::istringstream list(asAccount("screen -wipe >/dev/null; screen -list"));
  for (std::string line; std::getline(list, line);) {
    const size_t dot = line.find('.');
    if (line.empty() || line[0] != '\t' || dot == std::string::npos) continue;
    const std::string base = line.substr(dot + 1, line.find('\t', 1) - dot - 1);
    std::string name = base;
    for (int n = 2; found.count(name); ++n) name = base + "#" + std::to_string(n);
    found[name] = line.substr(1, dot - 1);
  }
  return found;
}

// The value of `key` in servicestats' JSON, as text; with `limit`, the limit of that name.
std::string statField(const std::string& json, const std::string& key, bool limit = false) {
  size_t at = json.find("\"" + key + "\":", limit ? json.find("\"limits\":") : 0);
  if (at == std::string::npos) return "missing";
  at += key.size() + 3;
  return json.substr(at, json.find_first_of(",}", at) - at);
}
long long statNumber(const std::string& json, const std::string& key, bool limit = false) {
  return atoll(statField(json, key, limit).c_str());
}
// The directory of the account's service `id` in hierarchy `h` ("unified" for cgroup v2, else a
// v1 controller), under the group this test, and so its agent, runs in; without `id`, the
// agent's subtree.
std::string groupDir(const std::string& h, const std::string& id = "",
                     const std::string& account = kAccount) {
  std::istringstream self(readWholeFile("/proc/self/cgroup"));
  for (std::string line; std::getline(self, line);) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (h == "unified" ? b != a + 1
                       : ("," + line.substr(a + 1, b - a - 1) + ",").find("," + h + ",") == std::string::npos)
      continue;
    return "/sys/fs/cgroup/" + h + line.substr(b + 1) + "/kadrel-services" +
           (id.empty() ? "" : "/account-" + account + "/service" + id);
  }
  return "no " + h + " hierarchy";
}
// A socket of the account's in its screen directory, named as a session of its process `pid`,
// that nobody accepts on and whose queue is full: whoever connects to it waits for ever. The
// descriptors that keep it so.
std::vector<int> plantFullSocket(const std::string& pid) {
  const std::string dir = "/run/screen/S-" + kAccount;
  shell("mkdir -p -m 700 " + dir + " && chown " + kAccount + ": " + dir);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s.blocker", dir.c_str(), pid.c_str());
  std::vector<int> fds{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  EXPECT_EQ(0, bind(fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  EXPECT_EQ(0, listen(fds[0], 0));
  shell(std::string("chown ") + kAccount + ": " + addr.sun_path);
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    fds.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    full = connect(fds.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EAGAIN;
  }
  EXPECT_TRUE(full);
  return fds;
}

class ServiceTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount, "-u 46019");  // a uid no other test account shares
    if (HasFatalFailure()) return;
    // A server that ignores SIGTERM, SIGHUP and SIGINT, with children that do the same; it
    // prints a line, then echoes every line typed into its console.
    std::ofstream(kHome + "/srv.sh")
        << "#!/bin/bash\ntrap '' TERM HUP INT\nfor i in 1 2 3 4 5; do (while :; do sleep 1; done) & done\n"
        << "echo \"game server ready\"\nwhile IFS= read -r line; do printf 'got:%s\\n' \"$line\"; done\n";
    shell("chmod 755 " + kHome + "/srv.sh && chown -R " + kAccount + ": " + kHome);
    startAgent();
  }
  void provision(const std::string& id) { ASSERT_EQ("Completed\r\n", run("addserver:_:" + id)); }
  std::string run(const std::string& instruction) { return runInstruction(instruction, kAccount); }
  std::string screenlog(const std::string& id) { return readWholeFile(kHome + "/screenlog." + id); }
  // An executable script `name` of the account's in its home, with `body`.
  void script(const std::string& name, const std::string& body) {
    std::ofstream(kHome + "/" + name) << "#!/bin/bash\n" << body << "\n";
    shell("chmod 755 " + kHome + "/" + name + " && chown " + kAccount + ": " + kHome + "/" + name);
  }
  // A process of the account's started outside any service.
  std::string outsider() {
    const std::string pid = asAccount("sleep 600 >/dev/null 2>&1 & echo -n $!");
    leftovers_.push_back(atoi(pid.c_str()));
    return pid;
  }
  // No command the agent ran for an instruction is left, nor a screen that lists or wipes.
  void expectNothingLeft() {
    EXPECT_TRUE(waitUntil([&] { return agentChildren().empty(); })) << agentChildren();
    EXPECT_EQ("", shell("pgrep -a -f '^screen -(list|ls|wipe)'"));
  }
};

using ServiceLifecycle = ServiceTest;
using ServicePriority = ServiceTest;
using ServiceProvisioning = ServiceTest;
using ServiceGroups = ServiceTest;
using ServiceWithoutGroups = ServiceTest;

// Service 1 beside service 12: start, status, console input, refusals of bad values, and a
// stop that ends every process of service 1's sessions (after the grace period, by force)
// each touch only their own session.
TEST_F(ServiceLifecycle, StartStatusInputRefusalsAndStopWithServiceOneBesideTwelve) {
  provision("1");
  provision("12");
  // No executable named: the session starts anyway. Service 12 starts later, so that screen
  // lists its session first (newest first), ahead of service 1's.
  run("start:_:1:_:./srv.sh one");
  // The panel gets the line that ran, the account's name quoted in it.
  ASSERT_EQ(0u, run("start:_:12:_:./srv.sh:_::_::_::_::_:srv.sh").find("cd /home/'" + kAccount + "'/ ;"));
  std::map<std::string, std::string> running = sessions();
  ASSERT_EQ(2u, running.size());
  const std::string pid1 = running["service1"], pid12 = running["service12"];

  // Typed into the console exactly; neither the shell nor screen interprets any of it.
  const std::string typed =
      "say \"hi\" ';' $(touch /tmp/pwned) `touch /tmp/pwned` $HOME ^C \\015 | & x\\y %s";
  EXPECT_EQ("\n\r\n", run("screenexec:_:service1:_:" + typed));
  // A word, not an option of grep.
  const std::string status = "\n" + run("status:_:-mdL:_:SCREEN:_:service12");
  EXPECT_NE(std::string::npos, status.find("\n" + pid12 + "\n")) << status;
  EXPECT_EQ(std::string::npos, status.find("\n" + pid1 + "\n")) << status;
  // Bad values run nothing (neither the hooks nor a stop), a missing executable starts nothing.
  const std::string pre = kHome + "/pre-ran", hooks = ":_:touch " + pre + ";:_:touch " + pre + ";";
  const std::pair<std::string, std::string> rows[] = {
      {"start:_:1:_:./srv.sh", "Server is still running, you will need to stop it first.."},
      {"restart:_:12:_:./srv.sh" + hooks + ":_:0;touch " + pre, "fail"},
      {"restart:_:12:_:./srv.sh" + hooks + ":_::_:$(id)", "fail"},
      {"start:_:6:_:./srv.sh:_::_::_::_::_:missing.bin", "Server has no executable"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second + "\r\n", run(row.first)) << row.first;
  EXPECT_FALSE(pathExists(pre));
  EXPECT_TRUE(
      pollUntil([&] { return screenlog("1").find("got:" + typed + "\r\n") != std::string::npos; }, 40000))
      << screenlog("1");
  EXPECT_EQ(std::string::npos, screenlog("12").find("got:")) << "the text reached service 12";
  EXPECT_FALSE(pathExists("/tmp/pwned"));
  EXPECT_EQ(running, sessions()) << "^C, a refusal or service 6 touched a session";

  // Two sessions of one name (two starts at once can make them): "stop" ends both, and not 12.
  asAccount("cd && screen -dmS service1 sleep 600");
  ASSERT_TRUE(pollUntil([&] { return sessions().count("service1#2") == 1; }));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:1"));
  EXPECT_EQ("0\n", shell("pgrep -c -u " + kAccount + " -f 'srv.sh one'"))
      << "processes of the session outlived the stop";
  EXPECT_TRUE(pollUntil([&] { return sessions().size() == 1; }));
  EXPECT_EQ(pid12, sessions()["service12"]) << "stopping 1 touched 12";
}

// The session to renice is found by the names in the account's screen directory, which it
// controls. A service that renames its own session and plants live sockets named after another
// account's process and after an older process of its own must make root renice neither.
TEST_F(ServicePriority, APlantedSessionNameNeverRenicesAnotherAccountsProcess) {
  provision("9");
  // Each a shell (what the lookups take for a screen process) with a child: root's, the account's.
  const std::string victim = shell("bash -c 'sleep 600; :' >/dev/null 2>&1 & echo -n $!");
  const std::string older = shell("runuser -u " + kAccount +
                                  " -- bash -c \"bash -c 'sleep 600; :' >/dev/null 2>&1 & echo -n \\$!\"");
  const std::string dir = "/run/screen/S-" + kAccount;
  shell("mkdir -m 700 " + dir + " && chown " + kAccount + ": " + dir);
  std::string postmode =
      "for i in $(seq 100); do screen -S service9 -X sessionname hidden && break; sleep 0.1; done;";
  std::vector<int> listeners;
  for (const std::string& pid : {victim, older}) {
    // Live sockets, named so that no lookup of service9 matches them before the start.
    const std::string decoy = dir + "/" + pid + ".decoy";
    listeners.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", decoy.c_str());
    ASSERT_EQ(0, bind(listeners.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listeners.back(), 64));
    shell("chown " + kAccount + ": " + decoy + " && chmod 600 " + decoy);
    postmode += " mv " + decoy + " " + dir + "/" + pid + ".service9;";
  }
  EXPECT_EQ("Unable to renice service, service pid not found\r\n",
            run("start:_:9:_:sleep 600:_::_:" + postmode + ":_:12"));
  // They keep the niceness they started with, the tests' (not 0 under `nice`).
  const std::string started = std::to_string(getpriority(PRIO_PROCESS, 0)) + "\n";
  for (const std::string& pid : {victim, older})
    EXPECT_EQ(started + started, shell("ps -o ni= -p " + pid + " --ppid " + pid + " | tr -d ' '")) << pid;
  EXPECT_TRUE(logged("is not the account's in the session this start created"));
}

// addserver hands the home back to the account and writes its two files, but through no link:
// not one planted where a file goes (to a file of root's, to a path nothing is at), not a home
// swapped for one. removeserver refuses unsafe ids and names, and takes the home but no link's
// target.
TEST_F(ServiceProvisioning, AddAndRemoveNeverFollowALinkAndRefuseUnsafeIds) {
  const std::string rotation = "/etc/logrotate.d/" + kAccount;
  const std::string target = "/etc/kadrel-link-target", nowhere = "/etc/kadrel-created-through-link";
  shell("chown root:root " + kHome + " && echo -n \"root's own\" > " + target);
  ASSERT_EQ(0, symlink(nowhere.c_str(), (kHome + "/.screenrc.8").c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), rotation.c_str()));
  ASSERT_EQ("Completed\r\n", run("addserver:_:8"));
  EXPECT_EQ(kAccount + "\n", shell("stat -c %U " + kHome));
  EXPECT_EQ("root's own", readWholeFile(target));
  EXPECT_FALSE(pathExists(nowhere));
  shell("rm " + rotation + " && mv " + kHome + " " + kHome + ".away && ln -s /etc " + kHome);
  run("addserver:_:9");
  EXPECT_FALSE(pathExists("/etc/.screenrc.9"));
  shell("rm " + kHome + " && mv " + kHome + ".away " + kHome);

  provision("7");
  shell(
      "mkdir -p /etc/kadrel-keepdir && echo kept > /etc/kadrel-keepdir/file && echo kept > /etc/kadrel-keep");
  asAccount(
      "cd && mkdir -p game/maps && ln -s /etc/kadrel-keep escape && ln -s /etc/kadrel-keepdir game/escape");
  // Ids that would leave the home or break the configuration file: "fail"; unknown accounts
  // and names that are not account names: nothing is created or removed.
  const std::string before = shell("ls -A " + kHome + " /etc/logrotate.d");
  for (const char* id : {"", "..", "../../etc/x", "1\nexec touch /tmp/ran"})
    for (const char* name : {"addserver", "removeserver"})
      EXPECT_EQ("fail\r\n", run(std::string(name) + ":_:" + id)) << name << id;
  for (const std::string& user : {std::string("nosuchacct"), "../" + kAccount, std::string("-rf")})
    EXPECT_EQ("User does not exist\r\n", runInstruction("removeserver:_:7", user)) << user;
  EXPECT_EQ(before, shell("ls -A " + kHome + " /etc/logrotate.d"));
  EXPECT_EQ("Server removed\r\n", run("removeserver:_:7"));
  EXPECT_FALSE(pathExists(kHome) || pathExists(rotation));
  EXPECT_EQ("kept\nkept\n", readWholeFile("/etc/kadrel-keep") + readWholeFile("/etc/kadrel-keepdir/file"));
}

// The hierarchies the agent uses here: v2 for membership, freezing, killing and CPU time; v1 for
// what only its controllers offer on this layout (cpuacct and freezer it leaves to v2).
const char* const kHierarchies[] = {"unified", "memory", "cpu", "pids"};

// A helper the service detaches with a double fork and setsid, ignoring SIGTERM, is in the
// service's group in every hierarchy; restart and stop end it (v2's cgroup.kill after the grace)
// and the group with it, though a socket nobody accepts on sits in the screen directory, and leave
// the account's process outside the service alone. An id that leads out of the account's groups
// gets no group.
TEST_F(ServiceGroups, StopEndsWhatTheServiceDetachedAndNothingOutsideIt) {
  provision("3");
  script("helper.sh", "trap '' TERM HUP INT\necho $$ > ~/helper.pid\nwhile :; do sleep 1; done");
  const std::string outside = outsider(),
                    start = "start:_:3:_:(setsid ./helper.sh > /dev/null 2>&1 &) ; sleep 600";
  const std::vector<int> blocker = plantFullSocket(outside);
  ASSERT_EQ(0u, run(start).find("cd /home/")) << "start";
  const pid_t first = pidFromFile(kHome + "/helper.pid");
  for (const char* h : kHierarchies)
    EXPECT_NE(
        std::string::npos,
        ("\n" + readWholeFile(groupDir(h, "3") + "/cgroup.procs")).find("\n" + std::to_string(first) + "\n"))
        << h;
  EXPECT_EQ("Service screen does not exist after 2 seconds\r\n", run("start:_:3/../../x:_:sleep 600"));
  for (const char* h : kHierarchies)
    EXPECT_EQ("account-" + kAccount + "\n",
              shell("find " + groupDir(h) + " -mindepth 1 -maxdepth 1 -type d -printf '%P\\n'"))
        << h;
  unlink((kHome + "/helper.pid").c_str());
  ASSERT_EQ(0u, run("re" + start).find("cd /home/")) << "restart";
  EXPECT_TRUE(waitUntil([&] { return !processAlive(first); }, 5000));
  const pid_t second = pidFromFile(kHome + "/helper.pid");
  EXPECT_EQ("Server stopped\r\n", run("stop:_:3"));
  EXPECT_TRUE(waitUntil([&] { return !processAlive(second); }, 5000));
  EXPECT_EQ("0\n", shell("pgrep -c -f helper.sh"));
  EXPECT_TRUE(processAlive(atoi(outside.c_str())));
  for (const char* h : kHierarchies) EXPECT_FALSE(pathExists(groupDir(h, "3"))) << h;
  expectNothingLeft();
  for (int fd : blocker) close(fd);
}

// Each service's own limits bind it alone from its start: past 64 MiB the kernel ends what it
// allocates (counted), past 16 tasks its forks fail, a busy loop under 50 % uses about half a CPU;
// the services beside run on. Set while it runs, a limit binds at once. Limits and groups outlive
// an agent restart: stop still ends such a service, and its next start takes its limits again.
TEST_F(ServiceGroups, LimitsBindEachServiceAloneAndOutliveAnAgentRestart) {
  script("eat.sh", "perl -e 'sleep 1; my $x = \"x\" x (256 << 20); sleep 600'\nsleep 600");
  script("fork.sh",
         "perl -e 'my $n = 0; while ($n < 40) { my $p = fork; last unless defined $p; if (!$p) { sleep 600; "
         "exit } $n++ } open(my $f, \">\", \"forks\"); print $f \"$n\\n\"; close $f; sleep 600'");
  script("busy.sh", "while :; do :; done");
  for (const char* id : {"21", "22", "23"}) provision(id);
  for (const char* limits : {"21:_:64M:_::_:", "22:_::_::_:16", "23:_::_:50:_:"})
    ASSERT_EQ("Limits set\r\n", run(std::string("setlimits:_:") + limits)) << limits;
  for (const char* service : {"21:_:./eat.sh", "22:_:./fork.sh", "23:_:./busy.sh"})
    ASSERT_EQ(0u, run(std::string("start:_:") + service).find("cd /home/")) << service;

  EXPECT_TRUE(pollUntil([&] { return statNumber(run("servicestats:_:21"), "oom_kills") >= 1; }, 30000));
  std::string stats = run("servicestats:_:21");
  EXPECT_EQ(64 << 20, statNumber(stats, "memory_bytes", true)) << stats;
  EXPECT_TRUE(pollUntil([&] { return pathExists(kHome + "/forks"); }, 30000));
  const int forks = atoi(readWholeFile(kHome + "/forks").c_str());
  EXPECT_TRUE(forks > 0 && forks < 16) << forks;
  stats = run("servicestats:_:22");
  EXPECT_TRUE(statNumber(stats, "tasks") <= 16 && statNumber(stats, "tasks", true) == 16) << stats;
  const auto cpuNow = [&] { return atof(statField(run("servicestats:_:23"), "cpu_seconds").c_str()); };
  const auto begin = std::chrono::steady_clock::now();
  const double used = cpuNow();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double share =
      (cpuNow() - used) / std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_TRUE(share > 0.1 && share < 0.8) << share;
  EXPECT_EQ("Limits set\r\n", run("setlimits:_:23:_::_:20:_:"));
  EXPECT_EQ("20000\n", readWholeFile(groupDir("cpu", "23") + "/cpu.cfs_quota_us"));

  restartAgent();
  const std::pair<std::string, std::string> kept[] = {
      {"21", "\"limits\":{\"memory_bytes\":67108864,\"cpu_percent\":null,\"tasks\":null}}"},
      {"22", "\"limits\":{\"memory_bytes\":null,\"cpu_percent\":null,\"tasks\":16}}"},
      {"23", "\"limits\":{\"memory_bytes\":null,\"cpu_percent\":20,\"tasks\":null}}"}};
  for (const auto& service : kept) {
    stats = run("servicestats:_:" + service.first);
    EXPECT_NE(std::string::npos, stats.find("{\"running\":true,")) << stats;
    EXPECT_NE(std::string::npos, stats.find(service.second)) << stats;
  }
  EXPECT_GE(statNumber(run("servicestats:_:21"), "oom_kills"), 1);
  EXPECT_EQ("Server stopped\r\n", run("stop:_:22"));
  EXPECT_EQ("0\n", shell("pgrep -c perl"));
  EXPECT_FALSE(pathExists(groupDir("pids", "22")));
  ASSERT_EQ(0u, run("start:_:22:_:sleep 600").find("cd /home/"));
  EXPECT_EQ("16\n", readWholeFile(groupDir("pids", "22") + "/pids.max"));
}

// setlimits refuses what is not a limit (or more than the kernel takes, which would make every
// later start fail), an unknown account and an id addserver refuses, and changes nothing then;
// an id names the acting account's service only, so another account's service of that id keeps
// its limits and runs on.
TEST_F(ServiceGroups, SetLimitsRefusalsChangeNothingAndReachNoOtherAccount) {
  const std::string other = "svcother";
  ensureAccount(other, "-u 46020");
  ASSERT_EQ("Completed\r\n", runInstruction("addserver:_:5", other));
  ASSERT_EQ("Limits set\r\n", runInstruction("setlimits:_:5:_:128M:_:150:_:50", other));
  ASSERT_EQ(0u, runInstruction("start:_:5:_:sleep 600", other).find("cd /home/"));
  const std::string before = runInstruction("servicestats:_:5", other);
  std::vector<std::pair<std::string, std::string>> rows = {{"setlimits:_:../5:_:1M:_::_:", other},
                                                           {"setlimits:_::_:1M:_::_:", other},
                                                           {"setlimits:_:5:_:1M:_::_:", "nosuchacct"},
                                                           {"setlimits:_:5:_:1M:_::_:", "../" + other},
                                                           {"servicestats:_:5", "nosuchacct"},
                                                           {"servicestats:_:../5", other},
                                                           {"setlimits:_:5:_::_:12K:_:", other},
                                                           {"setlimits:_:5:_::_::_:1M", other},
                                                           {"setlimits:_:6:_:8589934592G:_::_:", kAccount},
                                                           {"setlimits:_:6:_::_:17592186045:_:", kAccount},
                                                           {"setlimits:_:6:_::_::_:4194305", kAccount}};
  for (const char* bad : {"12X", "0", "-5", "abc", "1.5"})
    for (const char* at : {":_:%s:_::_:", ":_::_:%s:_:", ":_::_::_:%s"}) {
      char limits[64];
      snprintf(limits, sizeof limits, at, bad);
      rows.push_back({"setlimits:_:5" + std::string(limits), other});
    }
  for (const auto& row : rows)
    EXPECT_EQ("fail\r\n", runInstruction(row.first, row.second)) << row.first << " " << row.second;
  EXPECT_EQ("Limits set\r\n", run("setlimits:_:5:_:1M:_:1:_:1"));
  // The largest the kernel takes: a start with them runs.
  EXPECT_EQ("Limits set\r\n", run("setlimits:_:6:_:8589934591G:_:17592186044:_:4194304"));
  provision("6");
  EXPECT_EQ(0u, run("start:_:6:_:sleep 600").find("cd /home/"));
  const std::string after = runInstruction("servicestats:_:5", other);
  EXPECT_EQ(before.substr(before.find("\"limits\"")), after.substr(after.find("\"limits\""))) << after;
  EXPECT_EQ(0u, after.find("{\"running\":true,")) << after;
  EXPECT_EQ("134217728\n", readWholeFile(groupDir("memory", "5", other) + "/memory.limit_in_bytes"));
}

// With service_groups=off the agent says why once at start-up and makes no group; start, stop and
// servicestats work from the session's processes in /proc (the figures only a group keeps are
// null), setlimits says it cannot, and a socket nobody accepts on holds up neither start nor stop.
TEST_F(ServiceWithoutGroups, StartStopAndStatsFromTheSessionsProcesses) {
  restartAgent("service_groups=off\n");
  provision("4");
  const std::string outside = outsider();
  const std::vector<int> blocker = plantFullSocket(outside);
  ASSERT_EQ(0u, run("start:_:4:_:./srv.sh").find("cd /home/"));
  const std::string stats = run("servicestats:_:4");
  for (const char* part :
       {",\"memory_peak_bytes\":null,\"tasks\":",
        ",\"oom_kills\":null,\"limits\":{\"memory_bytes\":null,\"cpu_percent\":null,\"tasks\":null}}"})
    EXPECT_NE(std::string::npos, stats.find(part)) << stats;
  EXPECT_EQ(0u, stats.find("{\"running\":true,")) << stats;
  EXPECT_LT(std::abs(statNumber(stats, "since") - static_cast<long long>(time(nullptr))), 60) << stats;
  EXPECT_TRUE(statNumber(stats, "tasks") >= 7 && statNumber(stats, "memory_bytes") > 0) << stats;
  EXPECT_EQ("Limits are not supported on this host\r\n", run("setlimits:_:4:_:64M:_::_:"));
  EXPECT_FALSE(pathExists(groupDir("unified", "4")));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:4"));
  EXPECT_EQ("0\n", shell("pgrep -c -f srv.sh"));
  EXPECT_TRUE(processAlive(atoi(outside.c_str())));
  EXPECT_EQ(0u, run("servicestats:_:4").find("{\"running\":false,"));
  expectNothingLeft();
  const std::string log = readWholeFile(dir_ + "/agent.out") + agentStderr(),
                    warning = "Game servers run without control groups of their own: service_groups=off";
  EXPECT_EQ(log.rfind(warning), log.find(warning)) << log;
  EXPECT_NE(std::string::npos, log.find(warning)) << log;
  for (int fd : blocker) close(fd);
}

}  // namespace

// The metrics file as Debian's node_exporter serves it from its textfile directory: the agent's
// series after a wrong passphrase and a few instructions, a running service's and an ended one's
// (its group kept: running 0, no start time), and no error reading the file. A directory that
// cannot be written costs one warning, and the agent serves on.
TEST_F(ServiceGroups, MetricsReachNodeExporterAndAFailedWriteIsOneWarning) {
  const std::string textfiles = dir_ + "/textfile";
  ASSERT_EQ(0, mkdir(textfiles.c_str(), 0755));
  restartAgent("metrics_file=" + textfiles + "/kadrel.prom\nmetrics_interval=1\n");
  leftovers_.push_back(
      atoi(shell("prometheus-node-exporter --collector.disable-defaults --collector.textfile "
                 "--collector.textfile.directory=" +
                 textfiles + " --web.listen-address=127.0.0.1:9100 >/dev/null 2>&1 & echo -n $!")
               .c_str()));
  PanelClient wrong;
  EXPECT_TRUE(wrong.connect("127.0.0.1", port_) && !wrong.handshake(sid_, "not-" + pass_));
  for (const char* id : {"5", "6"}) provision(id);
  ASSERT_EQ(0u, run("start:_:5:_:sleep 600").find("cd /home/"));
  script("ends.sh", "while [ ! -e ended ]; do sleep 0.2; done");
  ASSERT_EQ(0u, run("start:_:6:_:./ends.sh").find("cd /home/"));
  shell("touch " + kHome + "/ended");
  EXPECT_EQ(KADREL_VERSION "\r\n", run("version"));
  run("nosuchprogram");
  const std::string service = "{account=\"" + kAccount + "\",service=\"";
  const std::vector<std::string> expected = {
      "kadrel_connections_total{outcome=\"served\"} 6\n",
      "kadrel_connections_total{outcome=\"handshake_failed\"} 1\n",
      "kadrel_instructions_total{instruction=\"start\",outcome=\"answered\"} 2\n",
      "kadrel_instructions_total{instruction=\"version\",outcome=\"answered\"} 1\n",
      "kadrel_instructions_total{instruction=\"other\",outcome=\"failed\"} 1\n",
      "kadrel_instruction_duration_seconds_count{instruction=\"addserver\"} 2\n",
      "kadrel_service_running" + service + "5\"} 1\n",
      "kadrel_service_running" + service + "6\"} 0\n",
      "node_textfile_scrape_error 0\n"};
  std::string scrape;
  pollUntil(
      [&] {
        scrape = shell("wget -qO- http://127.0.0.1:9100/metrics");
        return std::all_of(expected.begin(), expected.end(),
                           [&](const std::string& e) { return scrape.find(e) != std::string::npos; });
      },
      30000);
  for (const std::string& e : expected) EXPECT_NE(std::string::npos, scrape.find(e)) << e << scrape;
  EXPECT_NE(std::string::npos, scrape.find("kadrel_service_start_time_seconds" + service + "5\"} 1."));
  EXPECT_EQ(std::string::npos, scrape.find("kadrel_service_start_time_seconds" + service + "6\"}"));
  EXPECT_NE(std::string::npos, scrape.find("kadrel_service_memory_bytes" + service + "5\"} "));

  restartAgent("metrics_file=/nonexistent/kadrel.prom\nmetrics_interval=1\n");
  const std::string warning = "There was a problem with the metrics file /nonexistent/kadrel.prom: open: ";
  EXPECT_TRUE(waitForLog(warning));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // more writes that fail alike
  EXPECT_EQ(KADREL_VERSION "\r\n", run("version"));
  const std::string log = readWholeFile(dir_ + "/agent.out") + agentStderr();
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << log;
}
