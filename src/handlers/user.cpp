// Account instructions.
#include "handlers/user.h"

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <boost/algorithm/string/replace.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "dispatch/Child.h"
#include "dispatch/CommandRunner.h"
#include "dispatch/InstructionParserHelpers.h"
#include "dispatch/ShellLine.h"
#include "handlers/files.h"

static const char kPasswordSalt[] = "$1$Vq3nZs8k$";
static const char kFtpUpdateLine[] = "if [ -f /scripts/ftpupdate ]; then /scripts/ftpupdate; fi;";

// How long an account's processes get to end after SIGTERM, and then after SIGKILL.
static const std::chrono::seconds kPoliteWait(5);
static const std::chrono::seconds kForcedWait(5);

std::string whereAmI(std::vector<std::string>&, std::string&, std::string&) {
  std::string dir;
  agentDirectory(dir);
  return dir;
}

std::string checkUser(std::vector<std::string>& strlines, std::string& user, std::string&) {
  try {
    std::string status =
        returnExec(composeLine("id %s  > /dev/null 2>&1; echo $?", {shellQuote(arg(strlines, 1))}), user);
    return trim(status) == "1" ? std::string() : std::string("exists");
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with checkUser: ") + e.what()).c_str());
    return std::string();
  }
}

std::string hashedPassword(const std::string& password) {
  // crypt() would hash only the part before a NUL byte: a password that is not what was typed.
  if (password.find('\0') != std::string::npos) throw std::invalid_argument("the password holds a NUL byte");
  // crypt() keeps its result in static storage; several connections may add accounts at once.
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), kPasswordSalt, data.get());
  if (hash == nullptr || hash[0] == '*') throw std::runtime_error("crypt() failed");
  std::string escaped = hash;
  boost::algorithm::replace_all(escaped, "$", "\\$");
  return escaped;
}

std::string addUserLine(const std::string& shell, const std::string& name, const std::string& password) {
  if (isFreeBSD()) {
    const std::string group = user_group == "default" ? std::string("wheel") : user_group;
    // The escaped hash is one word as it stands; quoted, its backslashes would be stored.
    return composeLine("echo %s | /usr/sbin/pw useradd %s -s %s -H -m -g %s",
                       {hashedPassword(password), shellQuote(name), shellQuote(shell),
                        group.empty() ? group : shellQuote(group)});
  }
  const std::string groupOption = user_group == "default" || user_group.empty()
                                      ? std::string()
                                      : composeLine("-g %s", {shellQuote(user_group)});
  if (isSha5Set()) {
    // "--": a password such as "-s" is the password, not an option of mkpasswd.
    return composeLine("/usr/sbin/useradd %s -s %s -m -p `mkpasswd -m sha-512 %s` %s",
                       {shellQuote(name), shellQuote(shell), "-- " + shellQuote(password), groupOption});
  }
  return composeLine("/usr/sbin/useradd %s -s %s -m -p %s %s",
                     {shellQuote(name), shellQuote(shell), hashedPassword(password), groupOption});
}

std::string delUserLine(const std::string& name) {
  return composeLine(
      isFreeBSD() ? "pkill -u %s ; /usr/sbin/pw userdel %s -r" : "pkill -u %s ; /usr/sbin/userdel %s -r",
      {shellQuote(name), shellQuote(name)});
}

// Logs what a command printed, without the line feed the runner appends.
static void logOutput(std::string output) {
  if (!output.empty() && output.back() == '\n') output.pop_back();
  Log(output);
}

// Removes each of the account's directories named by `templates`, logging any warning. As
// root, in trees the account can change while the walk goes: never through a link.
static void removeAccountDirectories(const std::string& name, std::initializer_list<const char*> templates) {
  for (const char* tmpl : templates) {
    std::string warning;
    removeTreeNoFollow(composeLine(tmpl, {name}), warning);
    if (!warning.empty()) Log_warn("%s", warning.c_str());
  }
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
  // The name becomes paths that are created and removed as root.
  if (!validAccountName(name)) return "User does not exist";
  try {
    std::string status = returnExec(composeLine("id %s > /dev/null ; echo $?", {shellQuote(name)}), user);
    if (trim(status) != "1") return "User already exists";

    const std::string line = addUserLine(shell, name, arg(strlines, 3));
    Log("Adding new user");
    Log(line);
    logOutput(returnExec(line, user));

    AccountContext account;
    if (!LookupAccount(name, account)) {
      Log_warn("%s", ("There was a problem with addUser: the account " + name + " was not created").c_str());
      return "There was a problem while adding this user";
    }
    logOutput(returnExec(kFtpUpdateLine, user));
    prepareHome(account);
    removeAccountDirectories(name, {"/var/run/screen/S-%s", "/tmp/screens/S-%s"});
    return "User has been added";
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with addUser: ") + e.what()).c_str());
    return std::string();
  }
}

// Reads a small file of the process file system whole. False when it cannot be read.
static bool readProcFile(const std::string& path, std::string& into) {
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  char buf[4096];
  ssize_t n;
  into.clear();
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) into.append(buf, static_cast<size_t>(n));
  return n == 0;
}

// True for a live process whose real, effective or saved user id is `uid` (what userdel
// counts as "in use"). Zombies are left out: they hold nothing and only their parent can
// make them go.
static bool ownedBy(pid_t pid, uid_t uid) {
  std::string status;
  if (!readProcFile("/proc/" + std::to_string(pid) + "/status", status)) return false;
  const size_t state = status.find("\nState:\t");
  if (state != std::string::npos && status.compare(state + 8, 1, "Z") == 0) return false;
  const size_t ids = status.find("\nUid:");
  unsigned long real, effective, saved;
  if (ids == std::string::npos ||
      sscanf(status.c_str() + ids + 5, "%lu %lu %lu", &real, &effective, &saved) != 3)
    return false;
  return real == uid || effective == uid || saved == uid;
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
  if (!validAccountName(name)) return "User does not exist";
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
    removeAccountDirectories(name, {"/var/run/screen/S-%s", "/tmp/screens/S-%s", "/home/%s"});
    return "User has been removed";
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with delUser: ") + e.what()).c_str());
    return "There was a problem while removing this user";
  }
}

std::string changePass(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  const std::string& name = arg(strlines, 1);
  const std::string& password = arg(strlines, 2);
  // chpasswd reads "name:password" lines: a line feed would start another account's line, and
  // a colon in the name would move the rest of it into the password.
  if (name.find_first_of(":\n") != std::string::npos || password.find('\n') != std::string::npos) {
    Log_warn("There was a problem with changepass: chpasswd cannot take this account name or password");
    return std::string();
  }
  cmddo = composeLine(
      "echo %s:%s | /usr/sbin/chpasswd ; if [ -f /scripts/ftpupdate ] ; then /scripts/ftpupdate; fi;",
      {shellQuote(name), shellQuote(password)});
  return std::string();
}

std::string changeShell(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  const std::string name = shellQuote(arg(strlines, 1));
  const std::string shell = shellQuote(arg(strlines, 2));
  cmddo =
      isFreeBSD() ? composeLine("chsh -s %s %s", {shell, name}) : composeLine("chsh %s -s %s", {name, shell});
  return std::string();
}
