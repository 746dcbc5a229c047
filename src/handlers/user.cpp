// Account instructions.
#include "handlers/user.h"

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <shadow.h>
#include <sys/stat.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/CommandRunner.h"
#include "exec/Descriptors.h"
#include "exec/Identity.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/Processes.h"
#include "exec/ShellLine.h"
#include "handlers/files.h"

static const char kPasswordSalt[] = "$1$Vq3nZs8k$";
static const char kFtpUpdateLine[] = "if [ -f /scripts/ftpupdate ]; then /scripts/ftpupdate; fi;";
// chpasswd reads "name:password" from its standard input, never from the line.
static const char kChangePassLine[] =
    "/usr/sbin/chpasswd ; if [ -f /scripts/ftpupdate ] ; then /scripts/ftpupdate; fi;";
// chpasswd -e reads "name:hash" lines from its standard input and stores each hash as it is.
static const char kSetHashLine[] = "/usr/sbin/chpasswd -e";

// How long an account's processes get to end after SIGTERM, and then after SIGKILL.
static const std::chrono::seconds kPoliteWait(5);
static const std::chrono::seconds kForcedWait(5);

std::string whereAmI(std::vector<std::string>&, std::string&, std::string&) {
  std::string dir;
  agentDirectory(dir);
  return dir;
}

// The check every account instruction makes before anything runs. Root-run programs read a
// name that is not a valid account name as an option ("-u" for id, "--root=DIR" for chsh, which
// then loads name-service modules from DIR), and a name becomes paths that root creates and
// removes. True (logged) when `name` is refused.
static bool refusedAccountName(const char* instruction, const std::string& name) {
  if (validAccountName(name)) return false;
  Log_warn("There was a problem with %s: the account name is not a valid account name; nothing was run",
           instruction);
  return true;
}

// Shadow's tools take "-R DIR", "--root=DIR" anywhere among their words, a login shell's
// place included; a login shell is a path, never an option.
static bool refusedShell(const char* instruction, const std::string& shell) {
  if (shell.empty() || shell[0] != '-') return false;
  Log_warn("There was a problem with %s: the login shell starts with \"-\"; nothing was run", instruction);
  return true;
}

std::string checkUser(std::vector<std::string>& strlines, std::string& user, std::string&) {
  const std::string& name = arg(strlines, 1);
  if (refusedAccountName("checkUser", name)) return std::string();
  try {
    Valued<std::string> status =
        runCommand(composeLine("id %s  > /dev/null 2>&1; echo $?", {shellQuote(name)}), user);
    // Whether the account exists is not known when id could not run.
    if (!status) return std::string();
    return trim(status.value()) == "1" ? std::string() : std::string("exists");
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with checkUser: ") + e.what()).c_str());
    return std::string();
  }
}

// Why `password` cannot be stored as typed in the form this host's settings choose; null when
// it can. crypt() would hash only the part before a NUL byte, and mkpasswd reads one line.
static const char* passwordRefusal(const std::string& password) {
  if (isFreeBSD() || !settings().shaPasswords)
    return password.find('\0') != std::string::npos ? "the password holds a NUL byte" : nullptr;
  return password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos
             ? "mkpasswd cannot take a password holding a line break or a NUL byte"
             : nullptr;
}

// The hash to store for a password passwordRefusal took, in the form this host's settings
// choose: SHA-512 made by mkpasswd (which reads the password on its standard input), or
// MD5-crypt with the fixed salt. A failure when no hash was made.
static Valued<std::string> storedHash(const std::string& password, const std::string& user) {
  if (isFreeBSD() || !settings().shaPasswords) {
    // crypt() keeps its result in static storage; several connections may add accounts at once.
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), kPasswordSalt, data.get());
    if (hash == nullptr || hash[0] == '*') return Result::Failure("crypt() failed");
    return std::string(hash);
  }
  std::string hash = returnExec("mkpasswd -m sha-512 --stdin", user, password + "\n");
  trim(hash);
  // chpasswd reads "name:hash" lines: anything else would not be this one hash.
  if (hash.compare(0, 3, "$6$") != 0 || hash.find_first_of(": \t\r\n") != std::string::npos)
    return Result::Failure("mkpasswd made no password hash");
  return hash;
}

AddUserCommand addUserCommand(const std::string& shell, const std::string& name, const std::string& hash) {
  const Settings& s = settings();
  if (isFreeBSD()) {
    // "-H 0": pw reads the hash from descriptor 0.
    const std::string group = s.user_group == "default" ? std::string("wheel") : s.user_group;
    return {composeLine("/usr/sbin/pw useradd %s -s %s -H 0 -m -g %s",
                        {shellQuote(name), shellQuote(shell), group.empty() ? group : shellQuote(group)}),
            hash + "\n"};
  }
  const std::string groupOption = s.user_group == "default" || s.user_group.empty()
                                      ? std::string()
                                      : composeLine("-g %s", {shellQuote(s.user_group)});
  return {composeLine("/usr/sbin/useradd %s -s %s -m %s", {shellQuote(name), shellQuote(shell), groupOption}),
          std::string()};
}

// The hash the shadow file holds for `name`, "" when it holds none.
static std::string shadowHashOf(const std::string& name) {
  struct spwd entry;
  struct spwd* found = nullptr;
  std::vector<char> buf(4096);
  while (getspnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1U << 20))
    buf.resize(buf.size() * 2);
  return found != nullptr && found->sp_pwdp != nullptr ? found->sp_pwdp : std::string();
}

// Gives the new account `name` its hash through chpasswd, which reads "name:hash" on its
// standard input, and reads the shadow file back. False (logged) when the hash is not there.
static bool setPassword(const std::string& name, const std::string& hash, const std::string& user) {
  std::string output = returnExec(kSetHashLine, user, name + ":" + hash + "\n");
  if (!trim(output).empty()) Log(output);
  if (shadowHashOf(name) == hash) return true;
  Log_warn(
      "%s",
      ("There was a problem with addUser: the password of the account " + name + " was not set").c_str());
  return false;
}

// The account removal line for this host's system.
static std::string delUserLine(const std::string& name) {
  return composeLine(
      isFreeBSD() ? "pkill -u %s ; /usr/sbin/pw userdel %s -r" : "pkill -u %s ; /usr/sbin/userdel %s -r",
      {shellQuote(name), shellQuote(name)});
}

// Logs what a command printed, without the line feed the runner appends.
static void logOutput(std::string output) {
  if (!output.empty() && output.back() == '\n') output.pop_back();
  Log(output);
}

// Removes `path`, a tree the account can change while the walk goes, logging any warning.
// False when anything of it stays.
static bool removeAccountTree(const std::string& path) {
  const Result removed = removeDirectory(path);
  if (!removed) Log_warn("%s", removed.text().c_str());
  return removed.ok();
}

// Opens a directory that holds the accounts' screen directories, for a removal in it as root.
// It counts only when it is a directory of root's, reached without following a link at its
// own name: /tmp/screens sits in /tmp, where any account can plant a link to a directory of
// root's, or a directory of its own, before the first screen makes it. False when it is
// missing, and (logged) when it does not count.
static bool openScreenDirectory(const char* path, Fd& dir) {
  dir.reset(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (dir.get() >= 0 && fstat(dir.get(), &st) == 0 && st.st_uid == 0) return true;
  if (dir.get() >= 0 || errno != ENOENT)
    Log_warn(
        "There was a problem with the screen directories: %s is not a directory of root's; nothing in it "
        "was removed",
        path);
  dir.reset();
  return false;
}

// Removes the account's screen directories "S-<name>", each through the opened directory that
// holds it (named by its descriptor), never through what its path names later. False when one
// of them stays.
static bool removeScreenDirectories(const std::string& name) {
  bool gone = true;
  for (const char* holder : {"/var/run/screen", "/tmp/screens"}) {
    Fd dir;
    if (openScreenDirectory(holder, dir) &&
        !removeAccountTree("/proc/self/fd/" + std::to_string(dir.get()) + "/S-" + name))
      gone = false;
  }
  return gone;
}

// Makes sure the account has its home, owned by it. A home the agent creates gets 0700; one
// that useradd made keeps its mode. A link in the home's place is never followed.
static void prepareHome(const AccountContext& account) {
  const std::string home = composeLine("/home/%s", {account.name});
  struct stat st;
  const bool created = stat(home.c_str(), &st) != 0 && mkdir(home.c_str(), 0700) == 0;
  const Fd fd(open(home.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 || fchown(fd.get(), account.uid, account.gid) != 0 ||
      (created && fchmod(fd.get(), 0700) != 0))
    Log_warn("chown() error");
}

std::string addUser(std::vector<std::string>& strlines, std::string& user, std::string&) {
  const std::string& shell = arg(strlines, 1);
  const std::string& name = arg(strlines, 2);
  if (refusedAccountName("addUser", name)) return "User does not exist";
  if (refusedShell("addUser", shell)) return "There was a problem while adding this user";
  try {
    Valued<std::string> status =
        runCommand(composeLine("id %s > /dev/null ; echo $?", {shellQuote(name)}), user);
    if (!status) return "There was a problem while adding this user";
    if (trim(status.value()) != "1") return "User already exists";

    // A password that cannot be stored as typed gets no reply; a hash that could not be made is
    // a failure to add the account.
    if (const char* refusal = passwordRefusal(arg(strlines, 3))) {
      Log_warn("There was a problem with addUser: %s", refusal);
      return std::string();
    }
    const Valued<std::string> stored = storedHash(arg(strlines, 3), user);
    if (!stored) {
      Log_warn("%s", ("There was a problem with addUser: " + stored.text()).c_str());
      return "There was a problem while adding this user";
    }
    const std::string& hash = stored.value();
    const AddUserCommand command = addUserCommand(shell, name, hash);
    Log("Adding new user");
    Log(command.line);
    logOutput(returnExec(command.line, user, command.input));

    AccountContext account;
    if (!LookupAccount(name, account)) {
      Log_warn("%s", ("There was a problem with addUser: the account " + name + " was not created").c_str());
      return "There was a problem while adding this user";
    }
    // An account without its password is not left behind: it goes again.
    if (!isFreeBSD() && !setPassword(name, hash, user)) {
      returnExec(delUserLine(name), user);
      return "There was a problem while adding this user";
    }
    logOutput(returnExec(kFtpUpdateLine, user));
    prepareHome(account);
    removeScreenDirectories(name);
    return "User has been added";
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with addUser: ") + e.what()).c_str());
    return std::string();
  }
}

// True for a live process whose real, effective or saved user id is `uid` (what userdel
// counts as "in use"). Zombies are left out: they hold nothing and only their parent can
// make them go.
static bool ownedBy(pid_t pid, uid_t uid) {
  ProcessFacts facts;
  return processFacts(pid, facts) && !facts.zombie &&
         (facts.realUid == uid || facts.effectiveUid == uid || facts.savedUid == uid);
}

// Sends `sig` to every live process of `uid`. Each process id is pinned (pidfd) before its
// owner is checked, so an id reused meanwhile is never signalled. Returns how many got it.
static size_t signalAccount(uid_t uid, int sig) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return 0;
  size_t signalled = 0;
  while (const dirent* entry = readdir(proc.get())) {
    char* end;
    const long pid = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || !ownedBy(static_cast<pid_t>(pid), uid)) continue;
    const Fd fd(pidfd_open(static_cast<pid_t>(pid), 0));
    if (fd.get() < 0) continue;
    if (ownedBy(static_cast<pid_t>(pid), uid) && pidfd_send_signal(fd.get(), sig, nullptr, 0) == 0)
      ++signalled;
  }
  return signalled;
}

// Waits until `done` says true or `limit` passed.
template <typename Done>
static void waitAtMost(std::chrono::seconds limit, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Ends every process of the account, so that userdel does not refuse an account in use: the
// polite signal (and SIGCONT, so that a stopped process gets to handle it), a few seconds to
// end, then SIGKILL until none is left.
static void endAccountProcesses(uid_t uid) {
  if (signalAccount(uid, SIGTERM) == 0) return;
  signalAccount(uid, SIGCONT);
  waitAtMost(kPoliteWait, [uid] { return signalAccount(uid, 0) == 0; });
  waitAtMost(kForcedWait, [uid] { return signalAccount(uid, SIGKILL) == 0; });
}

std::string delUser(std::vector<std::string>& strlines, std::string& user, std::string&) {
  const std::string& name = arg(strlines, 1);
  if (refusedAccountName("delUser", name)) return "User does not exist";
  std::string line;
  try {
    line = delUserLine(name);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with delUser: ") + e.what()).c_str());
    return std::string();
  }
  try {
    AccountContext account;
    if (LookupAccount(name, account)) {
      if (account.uid == 0) {
        // Its processes are every root process, the agent's included.
        Log_warn("%s", ("There was a problem with delUser: the account " + name + " has user id 0").c_str());
        return "There was a problem while removing this user";
      }
      endAccountProcesses(account.uid);
    }
    returnExec(line, user);
    if (LookupAccount(name, account)) {
      Log_warn("%s", ("There was a problem with delUser: the account " + name + " still exists").c_str());
      return "There was a problem while removing this user";
    }
    const bool screensGone = removeScreenDirectories(name);
    if (!removeAccountTree(composeLine("/home/%s", {name})) || !screensGone)
      return "There was a problem while removing this user";
    return "User has been removed";
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with delUser: ") + e.what()).c_str());
    return "There was a problem while removing this user";
  }
}

// What a command that printed nothing answers, as chpasswd and chsh do for an unknown account.
static const char kNothingPrinted[] = "\n";

std::string changePass(std::vector<std::string>& strlines, std::string& user, std::string&) {
  const std::string& name = arg(strlines, 1);
  const std::string& password = arg(strlines, 2);
  if (refusedAccountName("changepass", name)) return kNothingPrinted;
  // chpasswd reads "name:password" lines: a line feed would start another account's line.
  if (password.find('\n') != std::string::npos || password.find('\0') != std::string::npos) {
    Log_warn("There was a problem with changepass: chpasswd cannot take this password");
    return std::string();
  }
  // The password reaches chpasswd on its standard input, which only that child can read.
  return returnExec(kChangePassLine, user, name + ":" + password + "\n");
}

std::string changeShell(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  if (refusedAccountName("changeshell", arg(strlines, 1)) || refusedShell("changeshell", arg(strlines, 2)))
    return kNothingPrinted;
  const std::string name = shellQuote(arg(strlines, 1));
  const std::string shell = shellQuote(arg(strlines, 2));
  cmddo =
      isFreeBSD() ? composeLine("chsh -s %s %s", {shell, name}) : composeLine("chsh %s -s %s", {name, shell});
  return std::string();
}
