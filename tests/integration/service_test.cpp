// Game services in real screen sessions of a real account: start, status, console input,
// stop, the refusals, renice, and provisioning ("addserver", "updateserver",
// "removeserver"). Screen writes its log in bursts (about every 10 s): log checks wait long.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
};

using ServiceLifecycle = ServiceTest;
using ServicePriority = ServiceTest;
using ServiceProvisioning = ServiceTest;

// Service 1 beside service 12: start, status, console input, refusals of bad values, and a
// stop that ends every process of service 1's sessions (after the grace period, by force)
// each touch only their own session.
TEST_F(ServiceLifecycle, StartStatusInputRefusalsAndStopWithServiceOneBesideTwelve) {
  provision("1");
  provision("12");
  // The panel gets the line that ran, the account's name quoted in it.
  ASSERT_EQ(0u, run("start:_:12:_:./srv.sh:_::_::_::_::_:srv.sh").find("cd /home/'" + kAccount + "'/ ;"));
  run("start:_:1:_:./srv.sh one");  // No executable named: the session starts anyway.
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

}  // namespace
