// Account instructions against real accounts in the sandbox: what lands in /etc/shadow and
// /etc/passwd, homes and screen directories, the FTP update hook, refusals, and removal of
// an account whose processes are still running.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string cryptWith(const std::string& password, const std::string& setting) {
  struct crypt_data data = {};
  const char* hash = crypt_r(password.c_str(), setting.c_str(), &data);
  return hash ? hash : "";
}

// Passwords that a shell, printf or an option parser would get wrong.
const char* const kHardPasswords[] = {
    "a;b$(touch /tmp/pwned)'\"", "back\\slash\\n", "100%s%n%%", "-s", "-x", "-e", "-n", "spaced  out"};

bool processAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

class AccountTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    writeConfig(config_);
    startAgent();
  }
  void TearDown() override {
    for (pid_t pid : leftovers_) kill(pid, SIGKILL);
    AgentFixture::TearDown();
  }
  // Adds one account per hard password; each stored hash starts with `hashStart` and verifies
  // the password as typed.
  void expectEachHardPasswordStored(const std::string& prefix, const std::string& hashStart) {
    int n = 0;
    for (const char* password : kHardPasswords) {
      const std::string name = prefix + std::to_string(n++);
      EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:" + name + ":_:" + password))
          << password;
      const std::string stored = shadowHash(name);
      EXPECT_EQ(0u, stored.find(hashStart)) << password << " " << stored;
      EXPECT_EQ(stored, cryptWith(password, stored)) << password;
    }
    EXPECT_FALSE(pathExists("/tmp/pwned"));
  }
  bool logged(const std::string& line) const {
    return ("\n" + agentStdout()).find("\n" + line + "\n") != std::string::npos;
  }

  std::string config_;
  std::vector<pid_t> leftovers_;
};

class AccountSha512Test : public AccountTest {
 protected:
  AccountSha512Test() { config_ = "is_sha5=TRUE\n"; }
};

// The programs the account instructions run by name (id, chsh, mkpasswd) come first in the
// agent's PATH as wrappers that record their words, and every command line on the host at that
// moment, before they run the real program.
class RecordedPrograms : public AccountTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(kDir.c_str(), 0755));
    for (const char* program : {"id", "chsh", "mkpasswd"}) {
      const std::string path = kDir + "/" + program;
      std::ofstream(path)
          << "#!/bin/sh\necho \"${0##*/} $*\" >> " << kDir
          << "/calls\nfor f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; echo; done >> " << kDir
          << "/cmdlines 2>/dev/null\nPATH=${PATH#*:}\nexec \"${0##*/}\" \"$@\"\n";
      ASSERT_EQ(0, chmod(path.c_str(), 0755));
    }
    agentEnv_ = {"PATH=" + kDir + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
    config_ = "is_sha5=true\n";
    AccountTest::SetUp();
  }
  std::string calls() const { return readWholeFile(kDir + "/calls"); }
  std::string cmdlines() const { return readWholeFile(kDir + "/cmdlines"); }
  const std::string kDir = "/tmp/kadrel-recorded";
};

using AddUser = AccountTest;
using AccountNames = RecordedPrograms;
using Passwords = RecordedPrograms;
using ScreenDirectories = AccountTest;
using DelUser = AccountTest;
using AccountChange = AccountTest;

TEST_F(AddUser, CreatesTheAccountWithTheMd5HashShellAndHome) {
  ASSERT_EQ(0, mkdir("/run/screen/S-kadd1", 0700));
  std::ofstream("/run/screen/S-kadd1/stale") << "x";
  mkdir("/tmp/screens", 0777);
  ASSERT_EQ(0, mkdir("/tmp/screens/S-kadd1", 0700));

  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/bash:_:kadd1:_:secret"));
  EXPECT_EQ("$1$Vq3nZs8k$7gRNJBbPubb2l0s74eUN5/", shadowHash("kadd1"));
  EXPECT_EQ("/bin/bash", loginShell("kadd1"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/kadd1", &st));
  EXPECT_EQ(runProgram({"/usr/bin/id", "-u", "kadd1"}, "").out, std::to_string(st.st_uid) + "\n");
  EXPECT_EQ(0755u, st.st_mode & 07777) << "the home stays as useradd made it";
  EXPECT_FALSE(pathExists("/run/screen/S-kadd1"));
  EXPECT_FALSE(pathExists("/tmp/screens/S-kadd1"));
  EXPECT_TRUE(logged("Adding new user"));
  EXPECT_TRUE(logged("/usr/sbin/useradd 'kadd1' -s '/bin/bash' -m -p <password hash> "));
  EXPECT_EQ(std::string::npos, agentStdout().find("7gRNJBbPubb2l0s74eUN5")) << "the hash reached the log";

  EXPECT_EQ("User already exists", replyText("adduser:_:/bin/bash:_:kadd1:_:other"));
  EXPECT_EQ("User already exists", replyText("adduser:_:/bin/bash:_:root:_:other"));
  EXPECT_EQ("$1$Vq3nZs8k$7gRNJBbPubb2l0s74eUN5/", shadowHash("kadd1"));
}

TEST_F(AddUser, PasswordsAndShellsAreStoredAsTypedAndRunNothing) {
  expectEachHardPasswordStored("kaddpw", "$1$Vq3nZs8k$");
  const std::string shell = "/bin/sh;touch /tmp/pwned-shell $(touch /tmp/pwned)";
  EXPECT_EQ("User has been added", replyText("adduser:_:" + shell + ":_:kaddsh:_:pw"));
  EXPECT_EQ(shell, loginShell("kaddsh"));
  EXPECT_FALSE(pathExists("/tmp/pwned") || pathExists("/tmp/pwned-shell"));
}

TEST_F(AccountSha512Test, AddUserHashesWithMkpasswdWhenIsSha5IsTrueInAnyCase) {
  expectEachHardPasswordStored("ksha", "$6$");
}

TEST_F(AddUser, RefusedNamesRunNothingAndFailuresAreNotSuccess) {
  for (const char* instruction :
       {"adduser:_:/bin/sh:_::_:pw", "adduser:_:/bin/sh:_:..:_:pw", "adduser:_:/bin/sh:_:-x:_:pw",
        "adduser:_:/bin/sh:_:../etc:_:pw", "adduser:_:/bin/sh:_:a b:_:pw", "adduser"})
    EXPECT_EQ("User does not exist", replyText(instruction)) << instruction;
  EXPECT_FALSE(logged("Adding new user"));

  // Names useradd refuses: one that clashes with a group, one too long.
  for (const std::string& name : {std::string("users"), std::string(40, 'k')}) {
    EXPECT_EQ("There was a problem while adding this user",
              replyText("adduser:_:/bin/sh:_:" + name + ":_:pw"));
    EXPECT_NE(std::string::npos, agentStderr().find("the account " + name + " was not created"));
    EXPECT_FALSE(accountExists(name));
    EXPECT_FALSE(pathExists("/home/" + name));
  }
}

TEST_F(AddUser, AHomeInTheWayIsHandedToTheAccountButALinkIsNeverFollowed) {
  ASSERT_EQ(0, mkdir("/home/kaddold", 0750));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kaddold:_:pw"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/kaddold", &st));
  EXPECT_NE(0u, st.st_uid);
  EXPECT_EQ(0750u, st.st_mode & 07777);

  ASSERT_EQ(0, mkdir("/tmp/elsewhere", 0755));
  ASSERT_EQ(0, symlink("/tmp/elsewhere", "/home/kaddlink"));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:kaddlink:_:pw"));
  ASSERT_EQ(0, stat("/tmp/elsewhere", &st));
  EXPECT_EQ(0u, st.st_uid) << "the link's target was handed to the account";
  EXPECT_NE(std::string::npos, agentStderr().find("chown() error"));
}

TEST_F(AccountChange, FtpUpdateHookRunsAfterAddUserAndChangePass) {
  const std::string hook = "/scripts/ftpupdate";
  if (access("/scripts", W_OK) != 0) GTEST_SKIP() << "this sandbox has no writable /scripts";
  // The hook also takes the new home away: the agent makes it again, 0700, the account's.
  struct RemoveOnExit {
    std::string path;
    ~RemoveOnExit() { unlink(path.c_str()); }
  } removeHook{hook};  // later tests must not run it
  std::ofstream(hook) << "#!/bin/sh\necho hook ran\necho x >> /tmp/hook-runs\nrm -rf /home/khook\n";
  ASSERT_EQ(0, chmod(hook.c_str(), 0755));
  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:khook:_:pw"));
  EXPECT_TRUE(logged("hook ran"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/khook", &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(runProgram({"/usr/bin/id", "-u", "khook"}, "").out, std::to_string(st.st_uid) + "\n");
  EXPECT_EQ(runProgram({"/usr/bin/id", "-g", "khook"}, "").out, std::to_string(st.st_gid) + "\n");

  EXPECT_EQ("hook ran\n\n", replyText("changepass:_:khook:_:pw2"));
  EXPECT_EQ("x\nx\n", readWholeFile("/tmp/hook-runs"));
}

TEST_F(AccountChange, ChangePassSetsEachPasswordExactly) {
  ensureAccount("kpass");
  for (const char* password : kHardPasswords) {
    EXPECT_EQ("\n", replyText(std::string("changepass:_:kpass:_:") + password)) << password;
    const std::string stored = shadowHash("kpass");
    EXPECT_EQ(stored, cryptWith(password, stored)) << password << " " << stored;
  }
  EXPECT_FALSE(pathExists("/tmp/pwned"));
  // chpasswd cannot take a line feed: nothing runs, the password stays.
  const std::string before = shadowHash("kpass");
  EXPECT_EQ("", replyText("changepass:_:kpass:_:x\nroot:owned"));
  EXPECT_EQ(before, shadowHash("kpass"));
  EXPECT_NE(std::string::npos, agentStderr().find("chpasswd cannot take"));
}

TEST_F(AccountChange, ChangeShellStoresTheShellLiterallyAndCheckUserAsksId) {
  ensureAccount("kshell");
  const std::string shell = "/bin/sh;touch /tmp/pwned";
  EXPECT_EQ("\n", replyText("ChangeShell:_:kshell:_:" + shell));
  EXPECT_EQ(shell, loginShell("kshell"));
  EXPECT_FALSE(pathExists("/tmp/pwned"));

  const std::pair<std::string, std::string> rows[] = {
      {"checkuser:_:root", "exists"},
      {"checkuser:_:kshell", "exists"},
      {"checkuser:_:knobody", ""},
      {"checkuser:_:knobody;touch /tmp/pwned", ""},
      {"checkuser", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second, replyText(row.first)) << row.first;
  EXPECT_FALSE(pathExists("/tmp/pwned"));
}

TEST_F(DelUser, RemovesTheAccountHomeAndScreenDirectories) {
  ensureAccount("kdel1");
  ASSERT_EQ(0, mkdir("/run/screen/S-kdel1", 0700));
  mkdir("/tmp/screens", 0777);
  ASSERT_EQ(0, mkdir("/tmp/screens/S-kdel1", 0700));
  std::ofstream("/tmp/screens/S-kdel1/sock") << "x";
  EXPECT_EQ("User has been removed", replyText("deluser:_:kdel1"));
  EXPECT_FALSE(accountExists("kdel1"));
  for (const char* path : {"/home/kdel1", "/run/screen/S-kdel1", "/tmp/screens/S-kdel1"})
    EXPECT_FALSE(pathExists(path)) << path;

  // No account: the directories of that name still go.
  ASSERT_EQ(0, mkdir("/home/kghost", 0755));
  EXPECT_EQ("User has been removed", replyText("deluser:_:kghost"));
  EXPECT_FALSE(pathExists("/home/kghost"));
}

TEST_F(DelUser, EndsTheAccountsProcessesFirstPolitelyThenByForce) {
  ensureAccount("kdelbusy");
  // One process ends a second after SIGTERM (well within the agent's polite wait, also on a
  // loaded machine), one ignores it for good.
  const std::string graceful = "/tmp/kdelbusy-graceful";
  runInstruction("command:_:bash -c 'trap \"sleep 1; touch " + graceful +
                     "; exit 0\" TERM; echo $$ > /tmp/kdelbusy-1; while :; do sleep 0.2; done' &",
                 "kdelbusy", "no");
  runInstruction(
      "command:_:bash -c 'trap \"\" TERM; echo $$ > /tmp/kdelbusy-2; while :; do sleep 0.2; done' &",
      "kdelbusy", "no");
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    const std::string file = "/tmp/kdelbusy-" + std::to_string(i + 1);
    ASSERT_TRUE(waitUntil([&] { return readWholeFile(file).find('\n') != std::string::npos; }));
    pids[i] = static_cast<pid_t>(atoi(readWholeFile(file).c_str()));
    leftovers_.push_back(pids[i]);
  }
  EXPECT_EQ("User has been removed", replyText("deluser:_:kdelbusy"));
  EXPECT_FALSE(accountExists("kdelbusy"));
  EXPECT_FALSE(pathExists("/home/kdelbusy"));
  EXPECT_TRUE(pathExists(graceful)) << "the polite signal was not given time";
  EXPECT_TRUE(waitUntil([&] { return !processAlive(pids[0]) && !processAlive(pids[1]); }));
}

TEST_F(DelUser, RefusesUnsafeNamesAndUserIdZeroAndReportsAFailedUserdel) {
  ensureAccount("ktoor", "-o -u 0");
  ensureAccount("kdelkept");
  ensureAccount("kdelother");
  ASSERT_EQ(0, mkdir("/home/kvictim", 0755));
  const struct {
    std::string instruction, user, expected;
  } rows[] = {
      {"deluser:_:..", "root", "User does not exist"},
      {"deluser:_:-r", "root", "User does not exist"},
      {"deluser:_:x/../kvictim", "root", "User does not exist"},
      {"deluser:_:", "root", "User does not exist"},
      {"deluser:_:root", "root", "There was a problem while removing this user"},
      {"deluser:_:ktoor", "root", "There was a problem while removing this user"},
      // An account may not delete another: userdel refuses, the account stays.
      {"deluser:_:kdelkept", "kdelother", "There was a problem while removing this user"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, replyText(row.instruction, row.user)) << row.instruction;
  EXPECT_TRUE(accountExists("root"));
  EXPECT_TRUE(accountExists("ktoor"));
  EXPECT_TRUE(accountExists("kdelkept"));
  EXPECT_TRUE(pathExists("/home/kdelkept"));
  EXPECT_TRUE(pathExists("/home/kvictim"));
  EXPECT_EQ("exists", replyText("checkuser:_:root")) << "the agent still answers";
}

// Root-run programs read a name or shell that starts with "-" as their option: id answered
// for "-u" as if the account existed, chsh took "--root=DIR" anywhere and loaded DIR's
// name-service modules. Such values are refused before anything runs.
TEST_F(AccountNames, NamesAndShellsThatAreOptionsRunNothing) {
  ensureAccount("kopt");
  const std::string shellBefore = loginShell("kopt");
  const std::pair<std::string, std::string> rows[] = {
      {"checkuser:_:-u", ""},
      {"checkuser:_:--help", ""},
      {"checkuser:_:--version", ""},
      {"changeshell:_:--root=/home/kopt:_:/bin/sh", "\n"},
      {"changeshell:_:-R:_:/home/kopt", "\n"},
      {"changeshell:_:kopt:_:--root=/home/kopt", "\n"},
      {"changepass:_:--root=/home/kopt:_:pw", "\n"},
      {"adduser:_:--root=/home/kopt:_:kopt2:_:pw", "There was a problem while adding this user"},
      {"adduser:_:/bin/sh:_:-R:_:pw", "User does not exist"},
      {"deluser:_:--help", "User does not exist"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second, replyText(row.first)) << row.first;
  EXPECT_EQ("", calls()) << "a refused instruction ran a program";
  EXPECT_EQ(shellBefore, loginShell("kopt"));
  EXPECT_FALSE(accountExists("kopt2"));

  // The wrappers do see what runs.
  EXPECT_EQ("exists", replyText("checkuser:_:kopt"));
  EXPECT_EQ("\n", replyText("changeshell:_:kopt:_:/bin/false"));
  EXPECT_EQ("/bin/false", loginShell("kopt"));
  EXPECT_EQ("id kopt\nchsh kopt -s /bin/false\n", calls());
}

// Every local account can read every command line in /proc, and the debug log: a password
// reaches mkpasswd and chpasswd on their standard input only, and the stored hashes are what
// the same password always gave.
TEST_F(Passwords, NeverInACommandLineNorInTheLog) {
  if (access("/scripts", W_OK) != 0) GTEST_SKIP() << "this sandbox has no writable /scripts";
  struct RemoveOnExit {
    std::string path;
    ~RemoveOnExit() { unlink(path.c_str()); }
  } removeHook{"/scripts/ftpupdate"};
  // The hook runs from the same shell line as chpasswd: it records that line while it runs.
  std::ofstream(removeHook.path) << "#!/bin/sh\nfor f in /proc/[0-9]*/cmdline; do tr '\\000' ' ' < \"$f\"; "
                                    "echo; done >> "
                                 << kDir << "/cmdlines\n";
  ASSERT_EQ(0, chmod(removeHook.path.c_str(), 0755));

  EXPECT_EQ("User has been added", replyText("adduser:_:/bin/sh:_:ksecret:_:Sekrit-One 'x'"));
  const std::string sha = shadowHash("ksecret");
  // mkpasswd's form: "$6$", 16 salt characters, "$", the hash.
  EXPECT_EQ(0u, sha.find("$6$"));
  EXPECT_EQ(19u, sha.find('$', 3)) << sha;
  EXPECT_EQ(sha, cryptWith("Sekrit-One 'x'", sha));

  EXPECT_EQ("\n", replyText("changepass:_:ksecret:_:Sekrit-Two"));
  EXPECT_EQ(shadowHash("ksecret"), cryptWith("Sekrit-Two", shadowHash("ksecret")));

  const std::string seen = cmdlines();
  EXPECT_NE(std::string::npos, seen.find("mkpasswd -m sha-512")) << "mkpasswd's wrapper did not record";
  EXPECT_NE(std::string::npos, seen.find("/usr/sbin/chpasswd")) << "the hook did not record";
  EXPECT_EQ(std::string::npos, seen.find("Sekrit")) << "a password was in a command line";
  EXPECT_EQ(std::string::npos, agentStdout().find("Sekrit")) << "a password reached the log";
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
  EXPECT_NE(std::string::npos, agentStderr().find("/tmp/screens is not a directory of root's"));
}

}  // namespace
