// Account instructions against real accounts in the sandbox: what lands in /etc/shadow and
// /etc/passwd, homes and screen directories, refusals, passwords kept out of command lines,
// and removal of an account whose processes are still running.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "AgentFixture.h"

namespace {

// Field `field` (2: the password's hash, 7: the login shell) of `name`'s entry in the account
// database `db` (passwd or shadow); "" when there is none.
std::string accountField(const std::string& db, const std::string& name, int field) {
  return shell("getent " + db + " " + shellQuote(name) + " | cut -d: -f" + std::to_string(field) +
               " | tr -d '\\n'");
}
std::string shadowHash(const std::string& name) { return accountField("shadow", name, 2); }
std::string loginShell(const std::string& name) { return accountField("passwd", name, 7); }
bool accountExists(const std::string& name) { return !accountField("passwd", name, 1).empty(); }
// Whether the stored hash of `name` verifies `password`.
bool verifies(const std::string& name, const std::string& password) {
  struct crypt_data data = {};
  const std::string stored = shadowHash(name);
  const char* hash = crypt_r(password.c_str(), stored.c_str(), &data);
  return !stored.empty() && hash && stored == hash;
}

// Passwords and shells that a shell, printf or an option parser would get wrong.
const char* const kHardPasswords[] = {"a;b$(touch /tmp/pwned)'\"", "back\\slash\\n", "100%s%n%%", "-s",
                                      "spaced  out"};
const std::string kHardShell = "/bin/sh;touch /tmp/pwned $(touch /tmp/pwned)'";
const std::string kRecorded = "/tmp/kadrel-recorded";

// The programs the account instructions run are covered by one recorder (bound over each, gone
// with the sandbox): it appends the program's words to kRecorded/calls and every command line
// on the host at that moment to kRecorded/cmdlines, then runs a copy of the program, or fails
// while kRecorded/fail-<name> exists.
class AccountTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    mkdir(kRecorded.c_str(), 0755);
    std::ofstream(kRecorded + "/record")
        << "#!/bin/sh\nname=${0##*/}\necho \"$name $*\" >> " << kRecorded << "/calls\n"
        << "for f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; echo; done >> " << kRecorded
        << "/cmdlines 2>/dev/null\n[ -e " << kRecorded << "/fail-$name ] && exit 1\nexec " << kRecorded
        << "/real-$name \"$@\"\n";
    ASSERT_EQ("", shell("cd " + kRecorded + " && chmod 755 record && for p in /usr/bin/id /usr/bin/chsh " +
                        "/usr/bin/mkpasswd /usr/sbin/useradd /usr/sbin/chpasswd; do cp $p real-${p##*/} && " +
                        "mount --bind record $p || echo $p; done 2>&1"));
    startAgent();
  }
  void TearDown() override {
    AgentFixture::TearDown();
    EXPECT_FALSE(pathExists("/tmp/pwned")) << "a value ran as shell text";
  }
};

using AddUser = AccountTest;
using AccountNames = AccountTest;
using DelUser = AccountTest;
using Passwords = AccountTest;

// The hash (MD5-crypt unless the settings say otherwise) and the shell as the panel gave them,
// no stale screen directory, no password changed for an account that exists.
TEST_F(AddUser, StoresTheHashAndShellAsGivenLeavesNoHalfMadeAccountAndHandsOverAHomeInTheWay) {
  ASSERT_EQ(0, mkdir("/run/screen/S-kadd1", 0700));
  EXPECT_EQ("User has been added", replyText("adduser:_:" + kHardShell + ":_:kadd1:_:secret"));
  EXPECT_EQ(0u, shadowHash("kadd1").find("$1$")) << "MD5-crypt";
  EXPECT_TRUE(verifies("kadd1", "secret"));
  EXPECT_EQ(kHardShell, loginShell("kadd1"));
  EXPECT_FALSE(pathExists("/run/screen/S-kadd1"));
  EXPECT_EQ("User already exists", replyText("adduser:_:/bin/bash:_:kadd1:_:other"));
  EXPECT_TRUE(verifies("kadd1", "secret"));
  // An account whose hash could not be stored does not stay without it.
  std::ofstream(kRecorded + "/fail-chpasswd");
  EXPECT_EQ("There was a problem while adding this user", replyText("adduser:_:/bin/sh:_:kfail:_:pw"));
  EXPECT_FALSE(accountExists("kfail") || pathExists("/home/kfail")) << "a half-made account stayed";
  unlink((kRecorded + "/fail-chpasswd").c_str());
  // A home already in the place (a former account's) is handed to the new account.
  ASSERT_EQ(0, mkdir("/home/kaddold", 0750));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kaddold:_:pw"));
  EXPECT_EQ(accountField("passwd", "kaddold", 3) + "\n", shell("stat -c %u /home/kaddold"));
}

// Names that are not account names, or that the programs run as root would take as their
// option, are refused before anything runs; failures are not success.
TEST_F(AccountNames, UnsafeNamesAndShellsRunNothingAndFailuresAreNotSuccess) {
  ensureAccount("kopt");
  ensureAccount("ktoor", "-o -u 0");
  ensureAccount("kdelother");
  ensureAccount("knohome");
  shell("rm -r /home/knohome");
  ASSERT_EQ(0, mkdir("/home/kvictim", 0755));
  unlink((kRecorded + "/calls").c_str());
  const std::string shellBefore = loginShell("kopt");
  const struct {
    std::string instruction, user, reply;
  } rows[] = {
      {"checkuser:_:-u", "root", ""},
      {"changeshell:_:--root=/home/kopt:_:/bin/sh", "root", "\n"},
      {"changeshell:_:kopt:_:--root=/home/kopt", "root", "\n"},
      {"changepass:_:--root=/home/kopt:_:pw", "root", "\n"},
      {"adduser:_:--root=/home/kopt:_:kopt2:_:pw", "root", "There was a problem while adding this user"},
      {"adduser:_:/bin/sh:_:-R:_:pw", "root", "User does not exist"},
      {"deluser:_:x/../kvictim", "root", "User does not exist"},
      {"adduser:_:/bin/sh:_:users:_:pw", "root", "There was a problem while adding this user"},
      {"deluser:_:root", "root", "There was a problem while removing this user"},
      {"deluser:_:ktoor", "root", "There was a problem while removing this user"},
      {"deluser:_:kopt", "kdelother", "There was a problem while removing this user"},  // userdel refuses
      // id cannot run as an acting account that is unknown or has no home: nothing is known.
      {"checkuser:_:kopt", "knobody", ""},
      {"checkuser:_:kopt", "knohome", ""},
      {"adduser:_:/bin/sh:_:knew:_:pw", "knobody", "There was a problem while adding this user"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.reply, replyText(row.instruction, row.user)) << row.instruction;
  EXPECT_EQ("", shell("grep -vw users " + kRecorded + "/calls")) << "a refused instruction ran a program";
  EXPECT_EQ(shellBefore, loginShell("kopt"));
  EXPECT_FALSE(accountExists("kopt2") || pathExists("/home/users"));
  EXPECT_TRUE(accountExists("ktoor") && accountExists("kopt") && pathExists("/home/kvictim"));
  EXPECT_EQ("exists", replyText("checkuser:_:kopt"));
  EXPECT_EQ("", replyText("checkuser:_:knobody"));
  EXPECT_EQ("\n", replyText("ChangeShell:_:kopt:_:" + kHardShell));
  EXPECT_EQ(kHardShell, loginShell("kopt"));

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Descriptors for the connection alone (a sanitized agent would need more of its own): id
  // cannot run, so whether an account exists is not known, and not answered as known.
  std::istringstream fds(shell("ls /proc/" + std::to_string(pid_) + "/fd"));
  const std::set<int> open{std::istream_iterator<int>(fds), std::istream_iterator<int>()};
  int lowestFree = 0;
  while (open.count(lowestFree)) ++lowestFree;
  shell("prlimit --pid " + std::to_string(pid_) + " --nofile=" + std::to_string(lowestFree + 1));
  EXPECT_EQ("", runInstruction("checkuser:_:knobody")) << "no reply, as for a failed check";
  EXPECT_EQ("There was a problem while adding this user", replyText("adduser:_:/bin/sh:_:knobody:_:pw"));
  EXPECT_TRUE(logged("pipe(): Too many open files"));
#endif
}

// Every local account can read every command line in /proc, and the debug log: a password
// reaches mkpasswd and chpasswd on their standard input only, and is stored as typed; nor is
// its hash a word of any command line.
TEST_F(Passwords, StoredAsTypedNeverInACommandLineNorInTheLog) {
  restartAgent("is_sha5=TRUE\n");
  std::vector<std::string> hashes;
  int n = 0;
  for (const std::string password : kHardPasswords) {
    const std::string name = "ksha" + std::to_string(n++);
    EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:" + name + ":_:" + password + " Sekrit"));
    EXPECT_TRUE(verifies(name, password + " Sekrit")) << password << " " << shadowHash(name);
    hashes.push_back(shadowHash(name));
    EXPECT_EQ("\n", replyText("changepass:_:" + name + ":_:" + password + "Sekrit2"));
    EXPECT_TRUE(verifies(name, password + "Sekrit2")) << password << " " << shadowHash(name);
  }
  // chpasswd cannot take a line feed: nothing runs, the password stays.
  EXPECT_EQ("", replyText("changepass:_:ksha0:_:x\nroot:owned"));
  // mkpasswd cannot either: no reply. A hash mkpasswd did not make is a failure to add.
  EXPECT_EQ("", replyText("adduser:_:/bin/sh:_:kshaline:_:x\ny"));
  std::ofstream(kRecorded + "/fail-mkpasswd");
  EXPECT_EQ("There was a problem while adding this user", replyText("adduser:_:/bin/sh:_:kshanone:_:pw"));
  unlink((kRecorded + "/fail-mkpasswd").c_str());
  EXPECT_FALSE(accountExists("kshaline") || accountExists("kshanone"));
  EXPECT_TRUE(verifies("ksha0", kHardPasswords[0] + std::string("Sekrit2")));
  const std::string seen = readWholeFile(kRecorded + "/cmdlines");
  for (const char* line : {"mkpasswd -m sha-512", "/usr/sbin/chpasswd", "/usr/sbin/useradd ksha0 -s"})
    EXPECT_NE(std::string::npos, seen.find(line)) << line << ": a recorder did not record";
  EXPECT_EQ(std::string::npos, seen.find("Sekrit")) << "a password was in a command line";
  EXPECT_FALSE(logged("Sekrit")) << "a password reached the log";
  for (const std::string& hash : hashes) {
    const std::string digest = hash.substr(hash.rfind('$') + 1);
    EXPECT_EQ(std::string::npos, seen.find(digest)) << "a hash was in a command line: " << hash;
    EXPECT_FALSE(logged(digest)) << "a hash reached the log: " << hash;
  }
}

// One process ends a second after SIGTERM (well within the agent's polite wait, also on a
// loaded machine), one ignores it for good: both end, the account and its directories go.
// /tmp/screens lies in /tmp, where any account can plant it before the first screen makes it:
// root removes S-<account> in it only when it is a directory of root's, not a link to one.
TEST_F(DelUser, EndsTheProcessesPolitelyThenByForceAndRemovesScreenDirectoriesOnlyInRootsOwn) {
  ensureAccount("kdelbusy");
  mkdir("/tmp/screens", 0777);
  for (const char* dir : {"/run/screen/S-kdelbusy", "/tmp/screens/S-kdelbusy"})
    ASSERT_EQ(0, mkdir(dir, 0700));
  const std::string graceful = "/tmp/kdelbusy-graceful";
  for (const std::string& trap : {"sleep 1; touch " + graceful + "; exit 0", std::string()}) {
    runInstruction("command:_:bash -c 'trap \"" + trap +
                       "\" TERM; echo $$ > /tmp/kdelbusy.pid; while :; do sleep 0.2; done' &",
                   "kdelbusy", "no");
    leftovers_.push_back(pidFromFile("/tmp/kdelbusy.pid"));
    unlink("/tmp/kdelbusy.pid");
  }
  EXPECT_EQ("User has been removed", replyText("deluser:_:kdelbusy"));
  EXPECT_FALSE(accountExists("kdelbusy"));
  for (const char* path : {"/home/kdelbusy", "/run/screen/S-kdelbusy", "/tmp/screens/S-kdelbusy"})
    EXPECT_FALSE(pathExists(path)) << path;
  EXPECT_TRUE(pathExists(graceful)) << "the polite signal was not given time";
  EXPECT_TRUE(waitUntil([&] { return !processAlive(leftovers_[0]) && !processAlive(leftovers_[1]); }));

  int n = 0;
  for (const std::string plant : {"mkdir -m 700 /tmp/root-only && ln -s /tmp/root-only /tmp/screens",
                                  "mkdir /tmp/screens && chown nobody /tmp/screens"}) {
    const std::string name = "kscr" + std::to_string(n++);
    ensureAccount(name);
    shell("rm -rf /tmp/screens /tmp/root-only && " + plant + " && mkdir /tmp/screens/S-" + name);
    EXPECT_EQ("User has been removed", replyText("deluser:_:" + name));
    EXPECT_TRUE(pathExists("/tmp/screens/S-" + name)) << plant;
  }
}

}  // namespace
