// Game services in real screen sessions of a real account: start, status, console input,
// stop and restart, the refusals, the special stop line, priority and processor affinity.
// Provisioning: "addserver", "updateserver", "removeserver".
// Screen writes its log in bursts (about every 10 s), so log checks wait with a wide bound.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "AgentFixture.h"

namespace {

const std::string kAccount = "svcgame";
const std::string kHome = "/home/" + kAccount;

// Prints a line, then echoes every line typed into its console.
const char kGameServer[] =
    "#!/bin/bash\n"
    "echo \"game server ready\"\n"
    "while IFS= read -r line; do printf 'got:%s\\n' \"$line\"; done\n";

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A shell line run as the account, as root would with su; its standard output.
std::string asAccount(const std::string& line) {
  return shell("su -s /bin/bash " + kAccount + " -c " + quoted(line) + " 2>/dev/null");
}

// Asks `done` every 200 ms (each ask may start programs) for at most `timeoutMs`.
bool pollUntil(const std::function<bool()>& done, int timeoutMs) {
  return waitUntil(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return done();
      },
      timeoutMs);
}

// The account's screen sessions: session name -> pid of its screen process (several sessions
// of one name are kept under "name#2", ...).
std::map<std::string, std::string> sessions() {
  std::map<std::string, std::string> found;
  std::istringstream list(asAccount("screen -wipe >/dev/null; screen -list"));
  for (std::string line; std::getline(list, line);) {
    if (line.empty() || line[0] != '\t') continue;
    std::string field = line.substr(1, line.find('\t', 1) - 1);
    size_t dot = field.find('.');
    if (dot == std::string::npos) continue;
    std::string name = field.substr(dot + 1);
    for (int n = 2; found.count(name); ++n) name = field.substr(dot + 1) + "#" + std::to_string(n);
    found[name] = field.substr(0, dot);
  }
  return found;
}

// `fields` of process `pid` as ps prints them ("" when there is no such process).
std::string psOf(const std::string& pid, const std::string& fields) {
  return shell("ps -o " + fields + "= -p " + quoted(pid) + " | tr -d ' \\n'");
}
bool processGone(const std::string& pid) {
  const std::string state = psOf(pid, "stat");
  return state.empty() || state[0] == 'Z';
}

// The start line the agent answers for a plain start of ./srv.sh.
std::string startLine(const std::string& id, const std::string& servicetype = "srv.sh",
                      const std::string& affinity = "") {
  return "cd /home/'" + kAccount + "'/ ;  if [ ! -f " + (servicetype.empty() ? "" : "'" + servicetype + "'") +
         " ] ; then echo NOEXEC; else screen -c /home/'" + kAccount + "'/.screenrc.'" + id +
         "' -mdL -S service'" + id + "' bash -c \"" + affinity + "./srv.sh\" ;  fi ;";
}

class ServiceTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount, "-u 46019");  // a uid no other test account shares
    if (HasFatalFailure()) return;
    shell("mkdir -p " + kHome + " && chown " + kAccount + ": " + kHome);  // an earlier removeserver took it
    writeAs(kHome + "/srv.sh", kGameServer, 0755);
    startAgent();
  }

  void TearDown() override {
    for (const auto& s : sessions()) kill(atoi(s.second.c_str()), SIGKILL);
    asAccount("screen -wipe");
    AgentFixture::TearDown();
  }

  // Writes a file owned by the account.
  void writeAs(const std::string& path, const std::string& content, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ASSERT_EQ(0, chmod(path.c_str(), mode));
    shell("chown " + kAccount + ": " + quoted(path));
  }

  // The screen configuration file that names the service's log.
  void provision(const std::string& id) { ASSERT_EQ("Completed\r\n", run("addserver:_:" + id)); }

  std::string run(const std::string& instruction) { return runInstruction(instruction, kAccount); }

  std::string screenlog(const std::string& id) { return readWholeFile(kHome + "/screenlog." + id); }
  bool logShows(const std::string& id, const std::string& text, int timeoutMs = 40000) {
    return pollUntil([&] { return screenlog(id).find(text) != std::string::npos; }, timeoutMs);
  }
};

using ServiceLifecycle = ServiceTest;
using ServiceRefusals = ServiceTest;
using ServicePriority = ServiceTest;

TEST_F(ServiceLifecycle, StartStatusInputStopAndRestartWithServiceOneBesideTwelve) {
  provision("1");
  provision("12");
  ASSERT_EQ(startLine("12") + "\r\n", run("start:_:12:_:./srv.sh:_::_::_::_::_:srv.sh"));
  ASSERT_EQ(1u, sessions().count("service12"));
  // Service 12 runs; 1 is another service. No executable named: the session starts anyway.
  ASSERT_EQ(startLine("1", "") + "\r\n", run("start:_:1:_:./srv.sh"));
  std::map<std::string, std::string> running = sessions();
  ASSERT_EQ(2u, running.size());
  const std::string pid1 = running["service1"], pid12 = running["service12"];
  EXPECT_EQ("Server is still running, you will need to stop it first..\r\n", run("start:_:1:_:./srv.sh"));

  // Typed into the console exactly; neither the shell nor screen interprets any of it.
  const std::string typed =
      "say \"hi\" ';' $(touch /tmp/pwned) `touch /tmp/pwned2` $HOME ${USER} ^C \\015 | & x\\y %s";
  EXPECT_EQ("\n\r\n", run("screenexec:_:service1:_:" + typed));
  EXPECT_EQ("\n\r\n", run("screenexec:_:service12:_:line for twelve"));

  const std::string status = run("status:_:" + kAccount + ":_:SCREEN:_:service12");
  EXPECT_NE(std::string::npos, ("\n" + status).find("\n" + pid12 + "\n")) << status;
  EXPECT_EQ(std::string::npos, ("\n" + status).find("\n" + pid1 + "\n")) << status;
  const std::string option = run("status:_:-mdL:_:SCREEN:_:service12");  // a word, not an option of grep
  EXPECT_NE(std::string::npos, ("\n" + option).find("\n" + pid12 + "\n")) << option;

  EXPECT_TRUE(logShows("1", "got:" + typed + "\r\n")) << screenlog("1");
  EXPECT_TRUE(logShows("12", "game server ready\r\nline for twelve\r\ngot:line for twelve\r\n"))
      << screenlog("12");
  EXPECT_EQ(std::string::npos, screenlog("12").find(typed));
  EXPECT_FALSE(access("/tmp/pwned", F_OK) == 0 || access("/tmp/pwned2", F_OK) == 0);
  // No temporary file of the account's left behind.
  EXPECT_EQ("",
            shell("find /tmp " + kHome + " -maxdepth 1 -user " + kAccount +
                  " -type f ! -name 'screenlog.*' "
                  "! -name '.screenrc.*' ! -name '.*rc' ! -name '.bash*' ! -name '.profile' ! -name srv.sh"));
  EXPECT_EQ(pid1, sessions()["service1"]) << "^C reached the service";

  // "stop" of 1 leaves 12 running.
  EXPECT_EQ("Server stopped\r\n", run("stop:_:1"));
  EXPECT_TRUE(pollUntil([&] { return sessions().count("service1") == 0; }, 10000));
  EXPECT_TRUE(processGone(pid1));
  EXPECT_EQ(pid12, sessions()["service12"]);

  // Restart of a running service, then of a stopped one.
  EXPECT_EQ(startLine("12") + "\r\n", run("restart:_:12:_:./srv.sh:_::_::_::_::_:srv.sh"));
  running = sessions();
  EXPECT_EQ(1u, running.size());
  EXPECT_NE(pid12, running["service12"]);
  EXPECT_TRUE(processGone(pid12));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:12:_:srv.sh"));
  EXPECT_TRUE(pollUntil([&] { return sessions().empty(); }, 10000));
  EXPECT_EQ(startLine("12") + "\r\n", run("RESTART:_:12:_:./srv.sh:_::_::_::_::_:srv.sh"));
  EXPECT_EQ(1u, sessions().count("service12"));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:12"));  // stopped twice: harmless
}

TEST_F(ServiceRefusals, BadValuesRunNothingMissingExecutableAndEverySessionOfTheName) {
  provision("5");
  ASSERT_EQ(startLine("5") + "\r\n", run("start:_:5:_:./srv.sh:_::_::_::_::_:srv.sh"));
  const std::string pid5 = sessions()["service5"];
  const std::string pre = kHome + "/pre-ran", post = kHome + "/post-ran";
  const std::string hooks = ":_:touch " + pre + ";:_:touch " + post + ";";
  const struct {
    std::string instruction, reply, warning;
  } rows[] = {
      {"restart:_:5:_:./srv.sh" + hooks + ":_:x5", "fail", "priority is not an integer"},
      {"restart:_:5:_:./srv.sh" + hooks + ":_::_:0;touch " + pre, "fail", "affinity is not a CPU list"},
      {"start:_:6:_:./srv.sh" + hooks + ":_:1 2", "fail", "priority is not an integer"},
      {"start:_:6:_:./srv.sh" + hooks + ":_::_:$(id)", "fail", "affinity is not a CPU list"},
      {"start:_:6:_:./srv.sh:_::_::_::_::_:missing.bin", "Server has no executable", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.reply + "\r\n", run(row.instruction)) << row.instruction;
    if (!row.warning.empty()) {
      EXPECT_NE(std::string::npos, agentStderr().find(row.warning)) << row.instruction;
    }
  }
  EXPECT_NE(0, access(pre.c_str(), F_OK));
  EXPECT_NE(0, access(post.c_str(), F_OK));
  std::map<std::string, std::string> running = sessions();
  EXPECT_EQ(1u, running.size());
  EXPECT_EQ(pid5, running["service5"]) << "a refused restart stopped the service";

  // Two sessions of one name (two starts at once can make them): "stop" ends both.
  asAccount("cd && screen -dmS service5 sleep 600");
  // screen -dm returns before the new session shows in its list.
  ASSERT_TRUE(pollUntil([&] { return sessions().count("service5#2") == 1; }, 10000));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:5"));
  EXPECT_TRUE(pollUntil([&] { return sessions().empty(); }, 10000));

  // A special executable's own stop line runs even without a session.
  shell("cp /bin/sleep " + kHome + "/sc_serv && chown " + kAccount + ": " + kHome + "/sc_serv");
  const std::string loose =
      shell("su -s /bin/bash " + kAccount + " -c 'cd && (setsid ./sc_serv 600 >/dev/null 2>&1 & echo $!)'");
  const std::string loosePid = loose.substr(0, loose.find('\n'));
  ASSERT_FALSE(processGone(loosePid));
  EXPECT_EQ("Server stopped\r\n", run("stop:_:6:_:SC_SERV"));
  EXPECT_TRUE(pollUntil([&] { return processGone(loosePid); }, 10000));
  if (!processGone(loosePid)) kill(atoi(loosePid.c_str()), SIGKILL);
}

// A server that ignores SIGTERM, SIGHUP and SIGINT, with ten children that do the same: "stop"
// answers "Server stopped" only once every process of the session has ended (after the grace
// period, by force), and leaves the account's processes outside the session alone.
TEST_F(ServiceLifecycle, StopEndsEveryProcessOfTheSessionEvenThoseThatIgnoreSignals) {
  writeAs(kHome + "/stubborn.sh",
          "#!/bin/bash\n"
          "trap '' TERM HUP INT\n"
          "for i in 1 2 3 4 5 6 7 8 9 10; do (while :; do sleep 1; done) & done\n"
          "while :; do sleep 1; done\n",
          0755);
  const std::string outside = asAccount("cd && (setsid sleep 600 >/dev/null 2>&1 & echo $!)");
  const std::string outsidePid = outside.substr(0, outside.find('\n'));
  ASSERT_FALSE(processGone(outsidePid));
  provision("8");
  const std::string count = "pgrep -c -u " + kAccount + " -f stubborn.sh";
  ASSERT_NE(std::string::npos, run("start:_:8:_:./stubborn.sh:_::_::_::_::_:stubborn.sh").find("service'8'"));
  // screen, the server and its ten children (and the shell that started it, if it stayed).
  ASSERT_TRUE(pollUntil([&] { return atoi(shell(count).c_str()) >= 12; }, 20000)) << shell(count);

  EXPECT_EQ("Server stopped\r\n", runInstruction("stop:_:8", kAccount, "yes", 120000));
  EXPECT_EQ("0\n", shell(count)) << "processes of the session outlived \"Server stopped\"";
  EXPECT_EQ(0u, sessions().count("service8"));
  EXPECT_FALSE(processGone(outsidePid)) << "a process outside the session was ended";
  kill(atoi(outsidePid.c_str()), SIGKILL);
}

// Both starts wait 3 + 15 seconds; they run side by side.
TEST_F(ServicePriority, ReniceAndAffinityReachTheServiceProcess) {
  cpu_set_t allowed;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
  int cpu = CPU_SETSIZE - 1;
  while (cpu > 0 && !CPU_ISSET(cpu, &allowed)) --cpu;
  const std::string affinity = std::to_string(cpu);
  provision("20");
  provision("21");
  auto reniced = sendInstruction("start:_:20:_:./srv.sh:_::_::_:7:_:" + affinity + ":_:srv.sh", kAccount);
  auto ended = sendInstruction("start:_:21:_:sleep 8:_::_::_:7", kAccount);
  std::string got;
  EXPECT_TRUE(reniced->waitClosed(120000, &got));
  EXPECT_EQ(startLine("20", "srv.sh", "taskset -c " + affinity + " ") + "\r\n", got);
  EXPECT_TRUE(ended->waitClosed(120000, &got));
  EXPECT_EQ("Unable to renice service, service pid not found\r\n", got);

  const std::string screen = sessions()["service20"];
  const std::string service = shell("pgrep -P " + quoted(screen) + " | head -n 1 | tr -d '\\n'");
  ASSERT_FALSE(service.empty());
  EXPECT_EQ("7", psOf(service, "ni"));
  EXPECT_EQ(affinity, shell("taskset -cp " + service + " | sed 's/.*: //' | tr -d '\\n'"));
  std::vector<std::string> lines = logLines();
  EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "Attempting to set renice in 15 seconds..."));
}

// The lookups that find the process to renice run as the account and read the names in its
// screen directory, which it controls. A service that renames its own session and plants a
// live socket named after another customer's screen process must not make root renice that
// customer's service.
TEST_F(ServicePriority, APlantedSessionNameNeverRenicesAnotherAccountsProcess) {
  provision("30");
  ASSERT_EQ(startLine("30") + "\r\n", run("start:_:30:_:./srv.sh:_::_::_::_::_:srv.sh"));
  const std::string victimScreen = sessions()["service30"];
  ASSERT_FALSE(victimScreen.empty());

  const std::string other = "svcother";
  ensureAccount(other, "-u 46020");
  const std::string dir = "/run/screen/S-" + other;
  shell("mkdir -p /home/" + other + " && touch /home/" + other + "/.screenrc.9 && chown -R " + other +
        ": /home/" + other + " && mkdir -m 700 " + dir + " && chown " + other + ": " + dir);
  // Live, so that screen -wipe keeps it; named so that no lookup of service9 matches it yet.
  const std::string decoy = dir + "/" + victimScreen + ".decoy";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", decoy.c_str());
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(listener, 64));
  shell("chown " + other + ": " + decoy + " && chmod 600 " + decoy);

  // After its screen command: its own session renamed away, the decoy named service9.
  const std::string postmode =
      "for i in $(seq 100); do screen -S service9 -X sessionname hidden && break; sleep 0.1; done; mv " +
      decoy + " " + dir + "/" + victimScreen + ".service9;";
  EXPECT_EQ("Unable to renice service, service pid not found\r\n",
            runInstruction("start:_:9:_:sleep 600:_::_:" + postmode + ":_:12", other));
  // Each keeps the niceness the agent started with, which is the tests' (not 0 under `nice`).
  const std::string started = std::to_string(getpriority(PRIO_PROCESS, 0));
  std::istringstream niceness(shell("ps -o ni= -u " + kAccount));
  size_t processes = 0;
  for (std::string ni; niceness >> ni; ++processes)
    EXPECT_EQ(ni, started) << "another account's process was reniced";
  EXPECT_GT(processes, 0u);
  EXPECT_NE(std::string::npos, agentStderr().find("is not the account's in the session this start created"));
  close(listener);
  shell("pkill -KILL -u " + other);
}

// "<mode> <uid>:<gid>" of `path` itself, "link" for a symbolic link, "" when nothing is there.
std::string facts(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) return "link";
  char text[64];
  snprintf(text, sizeof text, "%o %u:%u", st.st_mode & 07777, st.st_uid, st.st_gid);
  return text;
}

const std::string kRotation = "/etc/logrotate.d/" + kAccount;
const std::string kRotationText = "/home/" + kAccount +
                                  "/screenlog.*[!.gz] {\nmonthly\nrotate 1\ncreate 0644 " + kAccount +
                                  "\ncompress\n}";

class ServiceProvisioning : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    struct stat st;
    ASSERT_EQ(0, stat(kHome.c_str(), &st));
    ids_ = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
  }
  std::string ids_;  // the account's "uid:gid"
};

TEST_F(ServiceProvisioning, AddserverWritesBothFilesExactlyKeepsTheFirstAndNeverFollowsALink) {
  const std::string screenrc = kHome + "/.screenrc.7";
  shell("chown root:root " + kHome + " && chmod 0755 " + kHome);  // handed back to the account
  ASSERT_EQ("Completed\r\n", run("addserver:_:7"));
  EXPECT_EQ("755 " + ids_, facts(kHome));
  EXPECT_EQ("logfile /home/" + kAccount + "/screenlog.7\nlog on", readWholeFile(screenrc));
  EXPECT_EQ(kRotationText, readWholeFile(kRotation));
  EXPECT_EQ("644 " + ids_, facts(screenrc));
  EXPECT_EQ("644 0:0", facts(kRotation));
  // The rotation tool takes the entry as it is (it refuses files with a bad owner or mode); the
  // entry has no "missingok", so a log must be there.
  writeAs(kHome + "/screenlog.7", "a log line\n");
  ProgramResult check = runProgram({"/usr/sbin/logrotate", "-d", kRotation}, "/");
  EXPECT_EQ(0, check.status) << check.out << check.err;
  EXPECT_EQ(std::string::npos, (check.out + check.err).find("rror")) << check.out << check.err;
  EXPECT_NE(std::string::npos, (check.out + check.err).find("screenlog.*[!.gz]")) << check.out << check.err;

  // Again: the screen configuration stays as it is, the rotation entry is written anew.
  writeAs(screenrc, "edited by hand");
  std::ofstream(kRotation, std::ios::trunc)
      << "stale entry that is much longer than the real one, so the rewrite "
         "must truncate it\n";
  chmod(kRotation.c_str(), 0600);
  ASSERT_EQ("Completed\r\n", run("addserver:_:7"));
  EXPECT_EQ("edited by hand", readWholeFile(screenrc));
  EXPECT_EQ(kRotationText, readWholeFile(kRotation));
  EXPECT_EQ("644 0:0", facts(kRotation));

  // Links planted where the files go, to a file of root's and to a path nothing is at: the
  // one is not written, the other not created.
  const std::string target = "/etc/kadrel-link-target", nowhere = "/etc/kadrel-created-through-link";
  std::ofstream(target) << "root's own";
  ASSERT_EQ(0, symlink(nowhere.c_str(), (kHome + "/.screenrc.8").c_str()));
  ASSERT_EQ(0, unlink(kRotation.c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), kRotation.c_str()));
  ASSERT_EQ("Completed\r\n", run("addserver:_:8"));
  EXPECT_EQ("root's own", readWholeFile(target));
  EXPECT_EQ("", facts(nowhere));
  EXPECT_EQ("link", facts(kHome + "/.screenrc.8"));
  EXPECT_EQ("link", facts(kRotation));
  EXPECT_TRUE(waitForLogLine("Cannot open users /etc/logrotate.d file"));
  ASSERT_EQ(0, unlink(kRotation.c_str()));
  ASSERT_EQ(0, symlink(nowhere.c_str(), kRotation.c_str()));
  ASSERT_EQ("Completed\r\n", run("addserver:_:8"));
  EXPECT_EQ("", facts(nowhere));

  // No /etc/logrotate.d: only the screen configuration file.
  ASSERT_EQ(0, unlink(kRotation.c_str()));
  ASSERT_EQ(0, rename("/etc/logrotate.d", "/etc/logrotate.d.away"));
  EXPECT_EQ("Completed\r\n", run("addserver:_:9"));
  EXPECT_NE("", facts(kHome + "/.screenrc.9"));
  EXPECT_EQ("", facts(kRotation) + facts("/etc/logrotate.d"));
  ASSERT_EQ(0, rename("/etc/logrotate.d.away", "/etc/logrotate.d"));
  unlink(target.c_str());
}

TEST_F(ServiceProvisioning, RemoveserverTakesTheHomeButNoLinkTargetAndAddserverBringsItBack) {
  provision("7");
  writeAs(kHome + "/screenlog.7", "old log");
  shell(
      "mkdir -p /etc/kadrel-keepdir && echo kept > /etc/kadrel-keepdir/file && echo kept > /etc/kadrel-keep");
  shell("su -s /bin/bash " + kAccount + " -c 'cd && mkdir -p game/maps && touch game/maps/a && ln -s " +
        "/etc/kadrel-keep escape && ln -s /etc/kadrel-keepdir game/escape-dir'");
  EXPECT_EQ("Server removed\r\n", run("removeserver:_:7"));
  EXPECT_EQ("", facts(kHome) + facts(kRotation));
  EXPECT_EQ("kept\n", readWholeFile("/etc/kadrel-keep"));
  EXPECT_EQ("kept\n", readWholeFile("/etc/kadrel-keepdir/file"));
  EXPECT_EQ("Server removed\r\n", run("removeserver:_:7"));  // nothing left to remove

  EXPECT_EQ("Completed\r\n", run("addserver:_:7"));
  EXPECT_EQ("700 " + ids_, facts(kHome));
  EXPECT_EQ("644 " + ids_, facts(kHome + "/.screenrc.7"));
  EXPECT_EQ(kRotationText, readWholeFile(kRotation));
  EXPECT_EQ("Server updated\r\n", run("updateserver:_:7"));
  shell("rm -rf /etc/kadrel-keepdir /etc/kadrel-keep");
}

TEST_F(ServiceProvisioning, UnknownAccountsAndUnsafeIdsChangeNothing) {
  // No such account, and names that are not account names: nothing is created or removed.
  shell("mkdir -p /home/nosuchacct && echo 'x' > /etc/logrotate.d/nosuchacct");
  const struct {
    std::string user, instruction;
  } unknown[] = {
      {"nosuchacct", "addserver:_:1"},
      {"nosuchacct2", "removeserver:_:1"},
      {"../" + kAccount, "removeserver:_:1"},
      {"-rf", "removeserver:_:1"},
  };
  for (const auto& row : unknown)
    EXPECT_EQ("User does not exist\r\n", runInstruction(row.instruction, row.user)) << row.user;
  EXPECT_EQ("", facts("/home/nosuchacct2") + facts("/home/nosuchacct/.screenrc.1"));
  EXPECT_NE("", facts(kHome));

  // A valid name whose account is gone: the agent's rotation entry goes, the home stays.
  EXPECT_EQ("User does not exist\r\n", runInstruction("removeserver:_:1", "nosuchacct"));
  EXPECT_EQ("", facts("/etc/logrotate.d/nosuchacct"));
  EXPECT_NE("", facts("/home/nosuchacct"));

  // Ids that would leave the home or break the configuration file: "fail", with a warning.
  provision("1");
  const std::string before = shell("ls -A " + kHome + " /etc/logrotate.d");
  for (const std::string id : {"", ".", "..", "../../etc/x", "a/b", "1\nexec touch /tmp/ran"}) {
    for (const char* name : {"addserver", "removeserver"}) {
      const std::string instruction = std::string(name) + ":_:" + id;
      EXPECT_EQ("fail\r\n", run(instruction)) << instruction;
    }
  }
  EXPECT_EQ(before, shell("ls -A " + kHome + " /etc/logrotate.d"));
  EXPECT_NE(std::string::npos, agentStderr().find("There was a problem with removeserver: the service id"));
  EXPECT_NE(std::string::npos, agentStderr().find("There was a problem with addserver: the service id"));
}

}  // namespace
