// Service start, stop, restart, status and console input.
#include "handlers/service.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <thread>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/CommandRunner.h"
#include "exec/Identity.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/Processes.h"
#include "exec/ServiceGroups.h"
#include "exec/ShellLine.h"
#include "handlers/provisioning.h"
#include "handlers/servicelimits.h"

static void sleepFor(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Prints the process id of every screen session of the account whose name is exactly the
// quoted name given for %s (screenexec's lookup). `screen -list` lines are TAB "<pid>.<name>"
// TAB ...; a pattern search would let service 1 match service 12. The name reaches awk through
// ARGV, which, unlike -v, takes backslashes literally; emptying ARGV[1] makes awk read standard
// input.
static const char kSessionPids[] =
    "screen -list | awk -F '\\t' 'BEGIN { name = ARGV[1]; ARGV[1] = \"\" } "
    "{ dot = index($2, \".\"); if (dot > 1 && substr($2, dot + 1) == name) print substr($2, 1, dot - 1) }' "
    "%s";

// Clears the dead sessions a kill leaves; bounded, since screen connects to every socket in the
// account's screen directory, and the account may have planted one that nobody accepts on.
static const char kWipeLine[] = "timeout -s KILL 5 screen -wipe > /dev/null";

// L stands apart from S: screen 4.9 writes no log for "-mdLS".
static const char kStartLine[] =
    "cd /home/%s/ ; %s if [ ! -f %s ] ; then echo NOEXEC; else screen -c /home/%s/.screenrc.%s -mdL -S "
    "service%s "
    "%s -c \"%s%s\" ; %s fi ;";

static const char kReniceLine[] = "renice %s %s";
static const char kKillLine[] = "kill -9 %s";
static const char kTermLine[] = "kill -TERM %s";

// How long a stopped service may take to end on SIGTERM, and then to go after SIGKILL.
static const unsigned kStopGraceMs = 10000, kStopKillMs = 5000, kStopStepMs = 250;
static const char kFreeBSDStopLine[] = "pkill -u %s";

// Executables that need more than the session kill. %s: home directory, premode, home again.
static const struct {
  const char* servicetype;
  const char* line;
} kSpecialStops[] = {
    {"murmur.x86", "cd %s ; %s  PIDOF=`pwd`/murmur.x86; kill -9 `pidof $PIDOF`"},
    {"sc_serv", "cd %s ; %s  PIDOF=`pwd`/sc_serv; kill -9 `pidof $PIDOF`"},
    {"fearserver.bin", "cd %s ; %s  PIDOF=`pwd`/fearserver.bin; kill -9 `pidof $PIDOF`"},
    {"bfsmd",
     "cd %s ; %s  ./bfsmd -path /usr/local/games/bf1942 -pid %s/bf1942.pid -kill -quit ; PIDOF=`pwd`/bfsmd; "
     "kill -9 "
     "`pidof $PIDOF`"},
    {"bvsmd",
     "cd %s ; %s  ./bvsmd -path /usr/local/games/bfv -pid %s/bfv.pid -kill -quit ; PIDOF=`pwd`/bvsmd; kill "
     "-9 "
     "`pidof $PIDOF`"},
};

// "--": a word starting with "-" is a word to look for, not an option.
static const char kStatusLine[] =
    "ps aux | grep -- %s | grep -- %s | grep -- %s | awk -F \" \" '{ print $2 }'";

// Types the text into window 0 of the session named exactly so: the text goes through a
// private temporary file into a screen register and is pasted, so neither the shell nor
// screen's own parser (which expands $VAR, ^X and \ooo in "stuff") sees it. The final query
// returns only after screen has handled the paste, so the file is removed after use.
static const char kScreenExecLine[] =
    "cd /home/%s ; PID=$(%s | head -n 1) ; if [ -n \"$PID\" ] ; then SESSION=\"$PID\".%s ; f=`mktemp` && { "
    "printf "
    "'%%s\\r' %s > \"$f\" ; screen -p 0 -S \"$SESSION\" -X readreg p \"$f\" ; screen -p 0 -S \"$SESSION\" -X "
    "paste "
    "p ; screen -Q -S \"$SESSION\" echo '' > /dev/null ; rm -f \"$f\" ; } ; fi";

static std::string sessionPidsLine(const std::string& sessionName) {
  return composeLine(kSessionPids, {shellQuote(sessionName)});
}

static bool allDigits(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!isdigit(c)) return false;
  return true;
}

// The account's user id; false for an unknown account.
static bool accountUid(const std::string& user, uid_t& uid) {
  uid = 0;
  if (isRootUser(user)) return true;
  AccountContext account;
  if (!LookupAccount(user, account)) return false;
  uid = account.uid;
  return true;
}

// The screen processes of the running sessions named exactly "service<gameid>".
static std::vector<pid_t> sessionsOf(const std::string& gameid, const std::string& user) {
  uid_t uid;
  return accountUid(user, uid) ? screenSessions(groupAccountName(user), uid, "service" + gameid)
                               : std::vector<pid_t>();
}

// Whether the service gets a control group: where the host has them, for a name the group's
// path can be made of (the rules addserver applies).
static bool grouped(const std::string& gameid, const std::string& user) {
  return serviceGroupsUsable() && validServiceId(gameid) && validAccountName(groupAccountName(user));
}

// True while the service runs: its session, or anything left in its group.
static bool serviceRunning(const std::string& gameid, const std::string& user) {
  return !sessionsOf(gameid, user).empty() ||
         (grouped(gameid, user) && !serviceGroupProcesses(groupAccountName(user), gameid).empty());
}

bool serviceParametersValid(const std::string& priority, const std::string& affinity) {
  if (!priority.empty()) {
    size_t digits = (priority[0] == '-' || priority[0] == '+') ? 1 : 0;
    if (priority.size() > 11 || !allDigits(priority.substr(digits))) {
      Log_warn("%s", ("The service priority is not an integer, nothing was run: " + priority).c_str());
      return false;
    }
  }
  if (!affinity.empty()) {
    bool ok = isdigit(static_cast<unsigned char>(affinity[0]));
    for (unsigned char c : affinity) ok = ok && (isdigit(c) || c == ',' || c == '-' || c == ':');
    if (!ok) {
      Log_warn("%s", ("The service affinity is not a CPU list, nothing was run: " + affinity).c_str());
      return false;
    }
  }
  return true;
}

// A process id as the lookups print it: digits only, within pid_t.
static bool toPid(const std::string& text, pid_t& pid) {
  if (!allDigits(text) || text.size() > 9) return false;
  pid = static_cast<pid_t>(std::stol(text));
  return pid > 0;
}

bool serviceProcessOf(const std::string& user, pid_t screen, pid_t pid, unsigned long long since) {
  AccountContext account;
  return LookupAccount(user, account) && descendsWithinAccount(pid, screen, account.uid, since);
}

// The account's processes of the sessions `roots`, as decimal text; none for an unknown account.
static std::vector<std::string> sessionTree(const std::vector<pid_t>& roots, const std::string& user) {
  uid_t uid;
  if (!accountUid(user, uid)) return {};
  std::vector<std::string> members;
  for (pid_t member : sessionProcessTree(roots, uid)) members.push_back(std::to_string(member));
  return members;
}

// The process to renice: the last child of the shell screen started, else that shell; 0 when
// there is none.
static pid_t serviceProcess(const std::string& user, pid_t screen) {
  uid_t uid;
  if (!accountUid(user, uid)) return 0;
  const std::vector<pid_t> shells = childrenWithinAccount(screen, uid);
  if (shells.empty()) return 0;
  const std::vector<pid_t> programs = childrenWithinAccount(shells.front(), uid);
  return programs.empty() ? shells.front() : programs.back();
}

// Sets the nice value of the service process, once its program had time to start. `screenpid`
// is the session's screen process as the check after the start found it; `since` when the
// start began.
static std::string reniceService(const std::string& user, const std::string& priority,
                                 const std::string& screenpid, unsigned long long since) {
  Log("Attempting to set renice in 15 seconds...");
  sleepFor(15000);
  pid_t screen, service = 0;
  if (toPid(screenpid, screen)) service = serviceProcess(user, screen);
  const std::string pid = std::to_string(service);
  Log(pid);
  if (service == 0) return "Unable to renice service, service pid not found";
  // Root renices for the account: only a process of its own, in the session this start made.
  if (!toPid(screenpid, screen) || !serviceProcessOf(user, screen, service, since)) {
    const std::string warning =
        "There was a problem with startServer: process " + pid +
        " is not the account's in the session this start created; nothing was reniced";
    Log_warn("%s", warning.c_str());
    return "Unable to renice service, service pid not found";
  }
  const std::string line = composeLine(kReniceLine, {shellQuote(priority), shellQuote(pid)});
  Log(line);
  Log(returnExec(line, "root"));
  return std::string();
}

std::string startServer(std::string& user, std::string& startmode, std::string& priority, std::string& gameid,
                        std::string& affinity, std::string& premode, std::string& postmode,
                        std::string& servicetype) {
  try {
    if (!serviceParametersValid(priority, affinity)) return "fail";
    if (serviceRunning(gameid, user)) return "Server is still running, you will need to stop it first..";
    if (!affinity.empty()) affinity = "taskset -c " + affinity + " ";
    const std::string shell = "bash";
    // An empty name stays out of the test, which then comes out false and the session starts.
    const std::string executable = servicetype.empty() ? std::string() : shellQuote(servicetype);
    const std::string startLine =
        composeLine(kStartLine, {shellQuote(user), premode, executable, shellQuote(user), shellQuote(gameid),
                                 shellQuote(gameid), shell, affinity, startmode, postmode});
    Log("Attempting to start service process...");
    Log(startLine);
    // The whole service, from the screen process down, runs in its group: nothing it starts can
    // leave it.
    GroupEntry group;
    const bool inGroup = grouped(gameid, user);
    const std::string account = groupAccountName(user);
    if (inGroup && !prepareServiceGroup(account, gameid, limitsInForce(account, gameid), group))
      return "fail";
    if (inGroup) recordServiceStart(account, gameid);
    const unsigned long long since = bootTicksNow();
    std::string output = runCommand(startLine, user, std::string(), inGroup ? &group : nullptr).value();
    if (iequals(trim(output), "NOEXEC")) return "Server has no executable";
    Log(output);
    if (settings().os != HostSystem::Linux) return startLine;

    Log("Checking to see the service is started in 3 seconds...");
    sleepFor(3000);
    const std::vector<pid_t> sessions = sessionsOf(gameid, user);
    if (sessions.empty()) return "Service screen does not exist after 2 seconds";
    const std::string screenpid = std::to_string(sessions.front());
    Log(screenpid);

    if (!priority.empty()) {
      std::string refused = reniceService(user, priority, screenpid, since);
      if (!refused.empty()) return refused;
    }
    return startLine;
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with startServer: ") + e.what()).c_str());
    return "fail";
  }
}

// Sends the signal `line` names to `pids` as the account (the kernel then lets it reach none
// but the account's own processes).
static void signalAll(const char* line, const std::vector<std::string>& pids, const std::string& user) {
  std::string quoted;
  for (const std::string& pid : pids) quoted += (quoted.empty() ? "" : " ") + shellQuote(pid);
  returnExec(composeLine(line, {quoted}), user);
}

// Waits up to `boundMs` for the processes to end, following them (and what they start) on, and
// sends them the signal of `repeat` (when given) before every step; returns those still there.
static std::vector<std::string> waitEnded(std::vector<std::string> left, const std::string& user,
                                          unsigned boundMs, const char* repeat) {
  for (unsigned waited = 0; !left.empty() && waited < boundMs; waited += kStopStepMs) {
    if (repeat != nullptr) signalAll(repeat, left, user);
    sleepFor(kStopStepMs);
    std::vector<pid_t> pids;
    pid_t pid;
    for (const std::string& text : left)
      if (toPid(text, pid)) pids.push_back(pid);
    left = sessionTree(pids, user);
  }
  return left;
}

// SIGTERM, a grace period, then SIGKILL for what is left (again for what it started meanwhile);
// returns the processes that still run.
static std::vector<std::string> endProcesses(std::vector<std::string> tree, const std::string& user) {
  if (tree.empty()) return tree;
  signalAll(kTermLine, tree, user);
  return waitEnded(waitEnded(tree, user, kStopGraceMs, nullptr), user, kStopKillMs, kKillLine);
}

std::string stopServer(std::string& gameid, std::string& user, std::string& servicetype,
                       std::string& premode) {
  try {
    if (isFreeBSD()) {
      returnExec(composeLine(kFreeBSDStopLine, {shellQuote(user)}), user);
      return "Server stopped";
    }
    const std::string home = shellQuote("/home/" + user + "/");
    for (const auto& special : kSpecialStops) {
      if (!iequals(servicetype, special.servicetype)) continue;
      const std::string line = composeLine(special.line, {home, premode, home});
      returnExec(line, user);
      Log(line);
      break;
    }
    // The group as a whole: what the service started, however it detached, is in it.
    size_t left = 0;
    if (grouped(gameid, user) && !endServiceGroup(groupAccountName(user), gameid, kStopGraceMs, kStopKillMs))
      left = serviceGroupProcesses(groupAccountName(user), gameid).size();
    // Every session of that exact name outside a group (started without one): two concurrent
    // starts can have made two.
    const std::vector<pid_t> sessions = sessionsOf(gameid, user);
    if (!sessions.empty()) {
      left += endProcesses(sessionTree(sessions, user), user).size();
      returnExec(kWipeLine, user);
    }
    if (left != 0) {
      Log_warn("There was a problem with stopServer: %zu processes of service%s still run", left,
               gameid.c_str());
      return "fail";
    }
    return "Server stopped";
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with stopServer: ") + e.what()).c_str());
    return "fail";
  }
}

// After the kill, screen needs a moment to go; a start before then would be refused.
static void waitSessionGone(const std::string& gameid, const std::string& user) {
  const unsigned kStepMs = 250, kBoundMs = 5000;
  for (unsigned waited = 0; waited < kBoundMs; waited += kStepMs) {
    if (sessionsOf(gameid, user).empty()) return;
    sleepFor(kStepMs);
  }
}

// The start parameters at their positions; missing ones read as empty.
struct StartParameters {
  std::string gameid, startmode, premode, postmode, priority, affinity, servicetype;
  explicit StartParameters(const std::vector<std::string>& strlines)
      : gameid(arg(strlines, 1)),
        startmode(arg(strlines, 2)),
        premode(arg(strlines, 3)),
        postmode(arg(strlines, 4)),
        priority(arg(strlines, 5)),
        affinity(arg(strlines, 6)),
        servicetype(arg(strlines, 7)) {}
  std::string start(std::string& user) {
    return startServer(user, startmode, priority, gameid, affinity, premode, postmode, servicetype);
  }
};

std::string startService(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return StartParameters(strlines).start(user);
}

std::string stopService(std::vector<std::string>& strlines, std::string& user, std::string&) {
  std::string gameid = arg(strlines, 1), servicetype = arg(strlines, 2), premode = arg(strlines, 3);
  return stopServer(gameid, user, servicetype, premode);
}

std::string restartService(std::vector<std::string>& strlines, std::string& user, std::string&) {
  StartParameters p(strlines);
  // A bad value stops nothing: the running service keeps running.
  if (!serviceParametersValid(p.priority, p.affinity)) return "fail";
  stopServer(p.gameid, user, p.servicetype, p.premode);
  waitSessionGone(p.gameid, user);
  return p.start(user);
}

std::string serviceStatus(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine(kStatusLine, {shellQuote(arg(strlines, 1)), shellQuote(arg(strlines, 2)),
                                    shellQuote(arg(strlines, 3))});
  return std::string();
}

std::string screenExec(std::vector<std::string>& strlines, std::string& user, std::string& cmddo) {
  const std::string& session = arg(strlines, 1);
  cmddo = composeLine(kScreenExecLine, {shellQuote(user), sessionPidsLine(session), shellQuote(session),
                                        shellQuote(arg(strlines, 2))});
  return std::string();
}
