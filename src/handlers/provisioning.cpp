// "addserver", "updateserver" and "removeserver".
#include "handlers/provisioning.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Log.h"
#include "exec/Descriptors.h"
#include "exec/Identity.h"
#include "exec/InstructionParserHelpers.h"
#include "handlers/files.h"

static const char kLogrotateDir[] = "/etc/logrotate.d";

bool validServiceId(const std::string& gameid) {
  if (gameid.empty() || gameid == "." || gameid == "..") return false;
  for (unsigned char c : gameid)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

// The account behind `user`, from the account database: never by running anything as the
// account, which is impossible while its home is missing.
static bool knownAccount(const std::string& user, AccountContext& account) {
  return validAccountName(user) && LookupAccount(user, account);
}

static bool refuseServiceId(const std::string& instruction, const std::string& gameid) {
  if (validServiceId(gameid)) return false;
  Log_warn("%s", ("There was a problem with " + instruction +
                  ": the service id is empty, \".\", \"..\", or holds \"/\" or a control character; nothing "
                  "was changed")
                     .c_str());
  return true;
}

// Writes a whole file the agent owns the content of, then sets its mode (the agent's
// file-creation mask must not decide it) and hands it to uid/gid.
static void fillFile(int fd, const std::string& content, uid_t uid, gid_t gid, const std::string& path) {
  if (const Result written = writeAll(fd, content.data(), content.size()); !written)
    Log_warn(
        "%s",
        ("There was a problem with addserver: writing " + path + ": " + strerror(written.err())).c_str());
  if (fchmod(fd, 0644) != 0 || fchown(fd, uid, gid) != 0) Log_warn("chown() error");
}

// Creates the home when missing (0700) and hands it to the account; returns it opened, or an
// invalid descriptor when it is not a directory of its own (a link is not followed).
static void openHome(const std::string& home, const AccountContext& account, Fd& dir) {
  mkdir(home.c_str(), 0700);
  dir.reset(open(home.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0 || fchown(dir.get(), account.uid, account.gid) != 0) Log_warn("chown() error");
}

// ".screenrc.<id>": only when nothing, not even a link, stands at that name.
static void writeScreenrc(int home, const std::string& user, const std::string& gameid,
                          const AccountContext& account) {
  const std::string name = ".screenrc." + gameid;
  struct stat st;
  if (home >= 0 && fstatat(home, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return;
  Fd file(home < 0 ? -1
                   : openat(home, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (file.get() < 0) {
    Log("Cannot open users screenlog file");
    return;
  }
  fillFile(file.get(), "logfile /home/" + user + "/screenlog." + gameid + "\nlog on", account.uid,
           account.gid, name);
}

// "/etc/logrotate.d/<account>", rewritten whole each time, owned by root; skipped when the
// directory is missing. Only a regular file is written; a link at that name is not followed.
static void writeLogrotate(const std::string& user) {
  Fd dir(open(kLogrotateDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return;
  Fd file(openat(dir.get(), user.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ftruncate(file.get(), 0) != 0) {
    Log("Cannot open users /etc/logrotate.d file");
    return;
  }
  fillFile(file.get(),
           "/home/" + user + "/screenlog.*[!.gz] {\n" + "monthly\n" + "rotate 1\n" + "create 0644 " + user +
               "\n" + "compress\n" + "}",
           0, 0, std::string(kLogrotateDir) + "/" + user);
}

std::string addServer(std::vector<std::string>& strlines, std::string& user, std::string&) {
  AccountContext account;
  if (!knownAccount(user, account)) return "User does not exist";
  const std::string& gameid = arg(strlines, 1);
  if (refuseServiceId("addserver", gameid)) return "fail";
  Fd home;
  openHome("/home/" + user, account, home);
  writeScreenrc(home.get(), user, gameid, account);
  writeLogrotate(user);
  return "Completed";
}

std::string updateServer(std::vector<std::string>&, std::string&, std::string&) { return "Server updated"; }

// Removes `name` in `dir` (a link itself, never its target); logs `failure` when it is there
// and cannot be removed.
static void removeEntry(int dir, const std::string& name, const char* failure) {
  struct stat st;
  if (dir < 0 || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) Log(failure);
}

static void removeLogrotate(const std::string& user) {
  Fd dir(open(kLogrotateDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  removeEntry(dir.get(), user, "Error remvoing logrotate file");
}

std::string removeServer(std::vector<std::string>& strlines, std::string& user, std::string&) {
  if (!validAccountName(user)) return "User does not exist";
  AccountContext account;
  if (!LookupAccount(user, account)) {
    // The account is gone (deluser); the agent's own file for it goes too.
    removeLogrotate(user);
    return "User does not exist";
  }
  const std::string& gameid = arg(strlines, 1);
  if (refuseServiceId("removeserver", gameid)) return "fail";
  // Without a trailing slash, so that a link at the home's place is not followed.
  const std::string home = "/home/" + user;
  {
    Fd dir(open(home.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    removeEntry(dir.get(), ".screenrc." + gameid, "Error removing .screenrc file");
    removeEntry(dir.get(), "screenlog." + gameid, "Error remvoing screenlog file");
  }
  removeLogrotate(user);
  // As root in a tree the account's own processes can change while it goes.
  if (const Result removed = removeDirectory(home); !removed) {
    Log_warn("%s", removed.text().c_str());
    return "fail";
  }
  return "Server removed";
}
