// Account instructions against real accounts in the sandbox: what lands in /etc/shadow and
// /etc/passwd, homes and screen directories, refusals, passwords kept out of command lines,
// and removal of an account whose processes are still running.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "AgentFixture.h"

namespace {

// Field `field` (0: the name) of `name`'s line in an account file; "" when there is none.
std::string accountField(const std::string& file, const std::string& name, int field) {
  std::istringstream in(readWholeFile(file));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::istringstream fields(line);
    std::string value;
    for (int i = 0; i <= field; ++i) std::getline(fields, value, ':');
    return value;
  }
  return std::string();
}
std::string shadowHash(const std::string& name) { return accountField("/etc/shadow", name, 1); }
std::string loginShell(const std::string& name) { return accountField("/etc/passwd", name, 6); }
bool accountExists(const std::string& name) { return !accountField("/etc/passwd", name, 0).empty(); }
// Whether the stored hash of `name` verifies `password`.
bool verifies(const std::string& name, const std::string& password) {
  struct crypt_data data = {};
  const std::string stored = shadowHash(name);
  const char* hash = crypt_r(password.c_str(), stored.c_str(), &data);
  return !stored.empty() && hash && stored == hash;
}

// Passwords and shells that a shell, printf or an option parser would get wrong.
const char* const kHardPasswords[] = {
    "a;b$(touch /tmp/pwned)'\"", "back\\slash\\n", "100%s%n%%", "-s", "-e", "spaced  out"};
const std::string kHardShell = "/bin/sh;touch /tmp/pwned $(touch /tmp/pwned)'";

// The programs the account instructions run by name (id, chsh, mkpasswd) come first in the
// agent's PATH as wrappers that record their words, and every command line on the host at that
// moment, before they run the real program.
class AccountTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    mkdir(kDir.c_str(), 0755);
    for (const char* program : {"id", "chsh", "mkpasswd"}) {
      const std::string path = kDir + "/" + program;
      std::ofstream(path)
          << "#!/bin/sh\necho \"${0##*/} $*\" >> " << kDir
          << "/calls\nfor f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; echo; done >> " << kDir
          << "/cmdlines 2>/dev/null\nPATH=${PATH#*:}\nexec \"${0##*/}\" \"$@\"\n";
      ASSERT_EQ(0, chmod(path.c_str(), 0755));
    }
    agentEnv_ = {"PATH=" + kDir + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
    startAgent();
  }
  void TearDown() override {
    AgentFixture::TearDown();
    for (const std::string& path : wrapped_) umount2(path.c_str(), MNT_DETACH);
    shell("rm -rf " + kDir + " /tmp/pwned");
  }
  // Binds a recorder over the program at `path`, which the agent runs by that path: it records
  // every command line like the wrappers above, then runs a copy of the program, or fails
  // without it while kDir/fail-<name> exists. The mount goes with the sandbox.
  void wrapAbsolute(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string real = kDir + "/real-" + name, wrapper = kDir + "/wrap-" + name;
    ASSERT_EQ("", shell("cp " + path + " " + real + " 2>&1"));
    std::ofstream(wrapper)
        << "#!/bin/sh\nfor f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; echo; done >> " << kDir
        << "/cmdlines 2>/dev/null\nif [ -e " << kDir << "/fail-" << name << " ]; then exit 1; fi\nexec "
        << real << " \"$@\"\n";
    ASSERT_EQ(0, chmod(wrapper.c_str(), 0755));
    ASSERT_EQ(0, mount(wrapper.c_str(), path.c_str(), nullptr, MS_BIND, nullptr)) << path;
    wrapped_.push_back(path);
  }
  std::vector<std::string> wrapped_;
  // Runs `instruction` for each hard password in turn (with "%d" and "%p" for a number and the
  // password), expects `reply` and the password stored as typed for account prefix+number.
  void expectHardPasswordsStored(const std::string& prefix, const std::string& before,
                                 const std::string& reply) {
    int n = 0;
    for (const char* password : kHardPasswords) {
      const std::string name = prefix + std::to_string(n++);
      EXPECT_EQ(reply, replyText(before + name + ":_:" + password)) << password;
      EXPECT_TRUE(verifies(name, password)) << password << " " << shadowHash(name);
    }
    EXPECT_FALSE(pathExists("/tmp/pwned"));
  }
  const std::string kDir = "/tmp/kadrel-recorded";
};

using AddUser = AccountTest;
using AccountNames = AccountTest;
using DelUser = AccountTest;
using Passwords = AccountTest;
using ScreenDirectories = AccountTest;

TEST_F(AddUser, CreatesTheAccountWithItsHashShellAndHomeButNeverThroughALink) {
  ASSERT_EQ(0, mkdir("/run/screen/S-kadd1", 0700));
  EXPECT_EQ("User has been added", replyText("adduser:_:" + kHardShell + ":_:kadd1:_:secret"));
  const std::string hash = shadowHash("kadd1");
  ASSERT_EQ(0u, hash.find("$1$")) << "MD5-crypt: " << hash;
  EXPECT_TRUE(verifies("kadd1", "secret"));
  EXPECT_EQ(kHardShell, loginShell("kadd1"));
  EXPECT_FALSE(pathExists("/run/screen/S-kadd1"));
  EXPECT_TRUE(logged("/usr/sbin/useradd 'kadd1' -s "));
  EXPECT_FALSE(logged(hash.substr(3))) << "the hash reached the log";
  EXPECT_EQ("User already exists", replyText("adduser:_:/bin/bash:_:kadd1:_:other"));
  EXPECT_TRUE(verifies("kadd1", "secret"));
  expectHardPasswordsStored("kaddpw", "adduser:_:/bin/sh:_:", "User has been added");

  // A home in the way is handed to the account, a link there is not followed.
  ASSERT_EQ(0, mkdir("/home/kaddold", 0750));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kaddold:_:pw"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/kaddold", &st));
  EXPECT_NE(0u, st.st_uid);
  ASSERT_EQ(0, mkdir("/tmp/elsewhere", 0755));
  ASSERT_EQ(0, symlink("/tmp/elsewhere", "/home/kaddlink"));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kaddlink:_:pw"));
  ASSERT_EQ(0, stat("/tmp/elsewhere", &st));
  EXPECT_EQ(0u, st.st_uid) << "the link's target was handed to the account";
}

// Names that are not account names, or that the programs run as root would take as their
// option, are refused before anything runs; failures are not success.
TEST_F(AccountNames, UnsafeNamesAndShellsRunNothingAndFailuresAreNotSuccess) {
  ensureAccount("kopt");
  ensureAccount("ktoor", "-o -u 0");
  ASSERT_EQ(0, mkdir("/home/kvictim", 0755));
  const std::string shellBefore = loginShell("kopt");
  const std::pair<std::string, std::string> rows[] = {
      {"checkuser:_:-u", ""},
      {"checkuser:_:--help", ""},
      {"changeshell:_:--root=/home/kopt:_:/bin/sh", "\n"},
      {"changeshell:_:kopt:_:--root=/home/kopt", "\n"},
      {"changepass:_:--root=/home/kopt:_:pw", "\n"},
      {"adduser:_:--root=/home/kopt:_:kopt2:_:pw", "There was a problem while adding this user"},
      {"adduser:_:/bin/sh:_:-R:_:pw", "User does not exist"},
      {"adduser:_:/bin/sh:_:../etc:_:pw", "User does not exist"},
      {"adduser:_:/bin/sh:_:a b:_:pw", "User does not exist"},
      {"deluser:_:--help", "User does not exist"},
      {"deluser:_:..", "User does not exist"},
      {"deluser:_:x/../kvictim", "User does not exist"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second, replyText(row.first)) << row.first;
  EXPECT_EQ("", readWholeFile(kDir + "/calls")) << "a refused instruction ran a program";
  EXPECT_EQ("There was a problem while adding this user", replyText("adduser:_:/bin/sh:_:users:_:pw"));
  for (const char* protectedName : {"root", "ktoor"})
    EXPECT_EQ("There was a problem while removing this user",
              replyText(std::string("deluser:_:") + protectedName));
  EXPECT_EQ(shellBefore, loginShell("kopt"));
  EXPECT_FALSE(accountExists("kopt2") || pathExists("/home/users") || pathExists("/tmp/pwned"));
  EXPECT_TRUE(accountExists("root") && accountExists("ktoor") && pathExists("/home/kvictim"));
  // An account may not delete another: userdel refuses, the account stays.
  ensureAccount("kdelother");
  EXPECT_EQ("There was a problem while removing this user", replyText("deluser:_:kopt", "kdelother"));
  EXPECT_TRUE(accountExists("kopt"));

  // The wrappers do see what runs.
  unlink((kDir + "/calls").c_str());
  EXPECT_EQ("exists", replyText("checkuser:_:kopt"));
  EXPECT_EQ("", replyText("checkuser:_:knobody"));
  EXPECT_EQ("\n", replyText("ChangeShell:_:kopt:_:" + kHardShell));
  EXPECT_EQ(kHardShell, loginShell("kopt"));
  EXPECT_EQ("id kopt\nid knobody\nchsh kopt -s " + kHardShell + "\n", readWholeFile(kDir + "/calls"));
}

// Every local account can read every command line in /proc, and the debug log: a password
// reaches mkpasswd and chpasswd on their standard input only, and is stored as typed.
TEST_F(Passwords, StoredAsTypedNeverInACommandLineNorInTheLog) {
  // Nor is a password's hash: useradd and chpasswd record every command line while they run.
  for (const char* program : {"/usr/sbin/useradd", "/usr/sbin/chpasswd"}) wrapAbsolute(program);
  if (HasFatalFailure()) return;
  std::vector<std::string> hashes;
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kmd5:_:Sekrit-Md5"));
  EXPECT_TRUE(verifies("kmd5", "Sekrit-Md5"));
  hashes.push_back(shadowHash("kmd5"));
  // An account whose hash could not be stored does not stay without it.
  std::ofstream(kDir + "/fail-chpasswd");
  EXPECT_EQ("There was a problem while adding this user", replyText("adduser:_:/bin/sh:_:kfail:_:pw"));
  EXPECT_FALSE(accountExists("kfail") || pathExists("/home/kfail")) << "a half-made account stayed";
  unlink((kDir + "/fail-chpasswd").c_str());

  restartAgent("is_sha5=TRUE\n");
  expectHardPasswordsStored("ksha", "adduser:_:/bin/sh:_:", "User has been added");
  EXPECT_EQ(0u, shadowHash("ksha0").find("$6$"));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:ksecret:_:Sekrit-One 'x'"));
  EXPECT_EQ(19u, shadowHash("ksecret").find('$', 3)) << "mkpasswd's 16 salt characters";
  hashes.push_back(shadowHash("ksecret"));
  // The hook runs from the same shell line as chpasswd: it records that line while it runs.
  std::ofstream("/scripts/ftpupdate")
      << "#!/bin/sh\nfor f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; "
         "echo; done >> "
      << kDir << "/cmdlines\n";
  ASSERT_EQ(0, chmod("/scripts/ftpupdate", 0755));
  EXPECT_EQ("\n", replyText("changepass:_:ksecret:_:Sekrit-Two"));
  unlink("/scripts/ftpupdate");
  EXPECT_TRUE(verifies("ksecret", "Sekrit-Two"));
  expectHardPasswordsStored("ksha", "changepass:_:", "\n");
  // chpasswd cannot take a line feed: nothing runs, the password stays.
  EXPECT_EQ("", replyText("changepass:_:ksecret:_:x\nroot:owned"));
  EXPECT_TRUE(verifies("ksecret", "Sekrit-Two"));
  EXPECT_TRUE(logged("chpasswd cannot take"));

  const std::string seen = readWholeFile(kDir + "/cmdlines");
  EXPECT_NE(std::string::npos, seen.find("mkpasswd -m sha-512")) << "mkpasswd's wrapper did not record";
  EXPECT_NE(std::string::npos, seen.find("/usr/sbin/chpasswd")) << "the hook did not record";
  EXPECT_NE(std::string::npos, seen.find("/usr/sbin/useradd ksecret -s"))
      << "useradd's wrapper did not record";
  EXPECT_EQ(std::string::npos, seen.find("Sekrit")) << "a password was in a command line";
  EXPECT_FALSE(logged("Sekrit")) << "a password reached the log";
  for (const std::string& hash : hashes) {
    const std::string digest = hash.substr(hash.rfind('$') + 1);
    EXPECT_EQ(std::string::npos, seen.find(digest)) << "a hash was in a command line: " << hash;
    EXPECT_FALSE(logged(digest)) << "a hash reached the log: " << hash;
  }
}

TEST_F(DelUser, EndsTheAccountsProcessesPolitelyThenByForceAndRemovesItsDirectories) {
  ensureAccount("kdelbusy");
  ASSERT_EQ(0, mkdir("/run/screen/S-kdelbusy", 0700));
  mkdir("/tmp/screens", 0777);
  ASSERT_EQ(0, mkdir("/tmp/screens/S-kdelbusy", 0700));
  // One process ends a second after SIGTERM (well within the agent's polite wait, also on a
  // loaded machine), one ignores it for good.
  const std::string graceful = "/tmp/kdelbusy-graceful";
  runInstruction("command:_:bash -c 'trap \"sleep 1; touch " + graceful +
                     "; exit 0\" TERM; echo $$ > /tmp/kdelbusy-1; while :; do sleep 0.2; done' &",
                 "kdelbusy", "no");
  runInstruction(
      "command:_:bash -c 'trap \"\" TERM; echo $$ > /tmp/kdelbusy-2; while :; do sleep 0.2; done' &",
      "kdelbusy", "no");
  for (const char* file : {"/tmp/kdelbusy-1", "/tmp/kdelbusy-2"}) leftovers_.push_back(pidFromFile(file));
  EXPECT_EQ("User has been removed", replyText("deluser:_:kdelbusy"));
  EXPECT_FALSE(accountExists("kdelbusy"));
  for (const char* path : {"/home/kdelbusy", "/run/screen/S-kdelbusy", "/tmp/screens/S-kdelbusy"})
    EXPECT_FALSE(pathExists(path)) << path;
  EXPECT_TRUE(pathExists(graceful)) << "the polite signal was not given time";
  EXPECT_TRUE(waitUntil([&] { return !processAlive(leftovers_[0]) && !processAlive(leftovers_[1]); }));
}

// /tmp/screens lies in /tmp, where any account can plant it before the first screen makes it.
// Root removes S-<account> in it only when it is a directory of root's.
TEST_F(ScreenDirectories, ALinkOrAnAccountsDirectoryAtTmpScreensIsLeftAlone) {
  ensureAccount("kscr");
  ASSERT_EQ(0, mkdir("/tmp/root-only", 0700));
  ASSERT_EQ(0, mkdir("/tmp/root-only/S-kscr", 0700));
  ASSERT_EQ(0, mkdir("/tmp/root-only/S-knew", 0700));
  ASSERT_EQ(0, symlink("/tmp/root-only", "/tmp/screens"));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:knew:_:pw"));
  EXPECT_EQ("User has been removed", replyText("deluser:_:kscr"));
  EXPECT_TRUE(pathExists("/tmp/root-only/S-knew"));
  EXPECT_TRUE(pathExists("/tmp/root-only/S-kscr"));
  // A directory an account made there: not root's, so nothing in it is removed for anybody.
  ASSERT_EQ(0, unlink("/tmp/screens"));
  ASSERT_EQ(0, mkdir("/tmp/screens", 0755));
  ASSERT_EQ(0, mkdir("/tmp/screens/S-knew", 0700));
  ASSERT_EQ(0, chown("/tmp/screens", 65534, 65534));
  EXPECT_EQ("User has been removed", replyText("deluser:_:knew"));
  EXPECT_TRUE(pathExists("/tmp/screens/S-knew"));
  EXPECT_TRUE(logged("/tmp/screens is not a directory of root's"));
}

}  // namespace
