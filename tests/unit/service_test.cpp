// The service handlers' command lines and their order, with a recording runner that answers
// each line with a scripted output: start, stop and restart on both systems, the refusals,
// the checks of priority and affinity, and the composed "status" and "screenexec" lines.
#include "handlers/service.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "HandlerHarness.h"
#include "handlers/provisioning.h"

namespace {

using Ran = std::vector<std::pair<std::string, std::string>>;  // {line, user}

// The recording runner: every line run, every pause, and the outputs to answer in order
// ("\n", a command that printed nothing, once they run out).
struct Recorder {
  Ran ran;
  std::vector<unsigned> pauses;
  std::deque<std::string> outputs;
  bool inSession = true;                       // what the session check answers
  std::vector<std::pair<pid_t, pid_t>> asked;  // {screen, pid} of each session check
  std::deque<std::vector<std::string>> trees;  // the session's processes, one answer per lookup
  bool survivesKill = false;                   // otherwise none is left once "kill -9" ran
};
Recorder* recorder = nullptr;

std::string recordRun(const std::string& line, const std::string& user) {
  recorder->ran.emplace_back(line, user);
  if (recorder->outputs.empty()) return "\n";
  std::string out = recorder->outputs.front();
  recorder->outputs.pop_front();
  return out;
}
void recordPause(unsigned ms) { recorder->pauses.push_back(ms); }
bool recordSessionCheck(const std::string&, pid_t screen, pid_t pid, unsigned long long) {
  recorder->asked.emplace_back(screen, pid);
  return recorder->inSession;
}
std::vector<std::string> recordTree(const std::vector<std::string>&, const std::string&) {
  for (const auto& line : recorder->ran)
    if (line.first.compare(0, 8, "kill -9 ") == 0 && !recorder->survivesKill) return {};
  if (recorder->trees.empty()) return {};
  std::vector<std::string> tree = recorder->trees.front();
  if (recorder->trees.size() > 1) recorder->trees.pop_front();  // the last answer stays
  return tree;
}

class ServiceLines : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = serviceRunner;
    recorder = &rec_;
    serviceRunner = ServiceRunner{recordRun, recordPause, recordSessionCheck, recordTree};
  }
  void TearDown() override {
    serviceRunner = saved_;
    recorder = nullptr;
  }
  std::string route(const std::string& os, const std::string& instruction,
                    std::deque<std::string> outputs = {}, const std::string& user = "alice",
                    bool inSession = true, std::deque<std::vector<std::string>> trees = {{}},
                    bool survivesKill = false) {
    WithSettings keep(settingsFor(os));
    rec_ = Recorder();
    rec_.outputs = std::move(outputs);
    rec_.inSession = inSession;
    rec_.trees = std::move(trees);
    rec_.survivesKill = survivesKill;
    Routed got = routeOnly(instruction, user);
    EXPECT_TRUE(got.isReply) << instruction;
    return got.text;
  }

  Recorder rec_;
  ServiceRunner saved_{};
};

std::string pidsOf(const std::string& quotedName) {
  return "screen -list | awk -F '\\t' 'BEGIN { name = ARGV[1]; ARGV[1] = \"\" } { dot = index($2, \".\"); if "
         "(dot > 1 "
         "&& substr($2, dot + 1) == name) print substr($2, 1, dot - 1) }' " +
         quotedName;
}
const std::string kLookup7 = "screen -wipe > /dev/null ; " + pidsOf("'service7'");
const std::string kCheck7 = "screen -wipe > /dev/null ; SCREENPID=$(" + pidsOf("'service7'") +
                            " | head -n 1) ; if [ $SCREENPID ] ; then echo $SCREENPID; fi;";
const std::string kServicePid7 =
    "screen -wipe > /dev/null ; SCREENPID=$(" + pidsOf("'service7'") +
    " | head -n 1) ; if [ $SCREENPID ] ; then SCREENSID=`ps -ef | awk '$3 == '$SCREENPID' { print $2 }'`; "
    "SERVICEPID=`ps -ef | awk '$3 == '$SCREENSID' { print $2 }' | sed '$!d'` ; if [ $SERVICEPID ]; then echo "
    "$SERVICEPID; else echo $SCREENSID; fi; fi;";
const std::string kStart7 = "start:_:7:_:./srv -port 1:_:export A=1;:_:echo post;:_:5:_:0,1:_:srv";
const std::string kStartLine7 =
    "cd /home/'alice'/ ; export A=1; if [ ! -f 'srv' ] ; then echo NOEXEC; else screen -c "
    "/home/'alice'/.screenrc.'7' "
    "-mdL -S service'7' bash -c \"taskset -c 0,1 ./srv -port 1\" ; echo post; fi ;";

TEST_F(ServiceLines, StartOnLinuxChecksTheSessionAndRenicesTheServiceAfterItsWaits) {
  EXPECT_EQ(kStartLine7, route("linux", kStart7, {"\n", "\n", "4242\n", "4250\n"}));
  EXPECT_EQ((Ran{{kLookup7, "alice"},
                 {kStartLine7, "alice"},
                 {kCheck7, "alice"},
                 {kServicePid7, "alice"},
                 {"renice '5' '4250'", "root"}}),
            rec_.ran);
  EXPECT_EQ((std::vector<unsigned>{3000, 15000}), rec_.pauses);
  EXPECT_EQ((std::vector<std::pair<pid_t, pid_t>>{{4242, 4250}}), rec_.asked);

  // The lookups run as the account and print what its screen directory names: root renices
  // only what the agent itself finds to be the account's, in the session this start made.
  EXPECT_EQ("Unable to renice service, service pid not found",
            route("linux", kStart7, {"\n", "\n", "4242\n", "4250\n"}, "alice", false));
  EXPECT_EQ(4u, rec_.ran.size());
  EXPECT_EQ((std::vector<std::pair<pid_t, pid_t>>{{4242, 4250}}), rec_.asked);
}

TEST_F(ServiceLines, StartOnFreeBSDAnswersTheStartLineAtOnce) {
  EXPECT_EQ(kStartLine7, route("freebsd", kStart7));
  EXPECT_EQ((Ran{{kLookup7, "alice"}, {kStartLine7, "alice"}}), rec_.ran);
  EXPECT_TRUE(rec_.pauses.empty());
}

TEST_F(ServiceLines, StartAnswers) {
  const struct {
    std::string instruction;
    std::deque<std::string> outputs;
    std::string reply;
    size_t linesRun;
  } rows[] = {
      {kStart7, {"4242\n\n"}, "Server is still running, you will need to stop it first..", 1},
      {kStart7, {"\n", " noexec \n"}, "Server has no executable", 2},
      {kStart7, {"\n", "\n", "\n"}, "Service screen does not exist after 2 seconds", 3},
      {kStart7,
       {"\n", "\n", "4242\n", "4250; reboot\n"},
       "Unable to renice service, service pid not found",
       4},
      // Bad priority or affinity: nothing runs at all.
      {"start:_:7:_:./srv:_::_::_:1;reboot", {}, "fail", 0},
      {"start:_:7:_:./srv:_::_::_:-:_:0", {}, "fail", 0},
      {"start:_:7:_:./srv:_::_::_::_:0,1;reboot", {}, "fail", 0},
      {"start:_:7:_:./srv:_::_::_::_:-1", {}, "fail", 0},
      {"restart:_:7:_:./srv:_::_::_::_:0 1", {}, "fail", 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.reply, route("linux", row.instruction, row.outputs)) << row.instruction;
    EXPECT_EQ(row.linesRun, rec_.ran.size()) << row.instruction;
  }
}

TEST_F(ServiceLines, StartQuotesDataAndKeepsShellTextAsItIs) {
  const std::string startLine =
      "cd /home/'alice'/ ; A=`x` if [ ! -f 'my game' ] ; then echo NOEXEC; else screen -c "
      "/home/'alice'/.screenrc.'1'\\''; reboot; '\\''' -mdL -S service'1'\\''; reboot; '\\''' bash -c "
      "\"taskset -c 0-3:2 ./go $X\" ; ; fi ;";
  EXPECT_EQ(startLine,
            route("freebsd", "start:_:1'; reboot; ':_:./go $X:_:A=`x`:_:;:_:-5:_:0-3:2:_:my game"));
  ASSERT_EQ(2u, rec_.ran.size());
  EXPECT_EQ(startLine, rec_.ran[1].first);
  route("freebsd", "start:_:1'x");
  EXPECT_EQ("screen -wipe > /dev/null ; " + pidsOf("'service1'\\''x'"), rec_.ran[0].first);
}

TEST_F(ServiceLines, StopRunsTheSpecialLineThenEndsEveryProcessOfEverySessionOfThatExactName) {
  const std::string home = "'/home/alice/'";
  const struct {
    std::string instruction;
    std::string special;  // the special stop line, if any
  } rows[] = {
      {"stop:_:7:_:srv:_:A=1;", ""},
      {"stop:_:7:_:SC_SERV", "cd " + home + " ;   PIDOF=`pwd`/sc_serv; kill -9 `pidof $PIDOF`"},
      {"stop:_:7:_:bfsmd:_:A=1;", "cd " + home + " ; A=1;  ./bfsmd -path /usr/local/games/bf1942 -pid " +
                                      home +
                                      "/bf1942.pid -kill -quit ; PIDOF=`pwd`/bfsmd; kill -9 `pidof $PIDOF`"},
      {"stop:_:7:_:Bvsmd", "cd " + home + " ;   ./bvsmd -path /usr/local/games/bfv -pid " + home +
                               "/bfv.pid -kill -quit ; PIDOF=`pwd`/bvsmd; kill -9 `pidof $PIDOF`"},
  };
  for (const auto& row : rows) {
    std::deque<std::string> outputs = {"4242\n4250\n\n"};
    if (!row.special.empty()) outputs.push_front("\n");
    // Both sessions' processes end on SIGTERM within the first step.
    EXPECT_EQ("Server stopped",
              route("linux", row.instruction, outputs, "alice", true, {{"4242", "4250", "4251"}, {}}))
        << row.instruction;
    Ran expected = {
        {kLookup7, "alice"}, {"kill -TERM '4242' '4250' '4251'", "alice"}, {"screen -wipe", "alice"}};
    if (!row.special.empty()) expected.insert(expected.begin(), {row.special, "alice"});
    EXPECT_EQ(expected, rec_.ran) << row.instruction;
  }
  // Processes that ignore SIGTERM: after the grace period SIGKILL, sent again while any is left;
  // one that outlives it all makes the stop a failure.
  EXPECT_EQ("Server stopped",
            route("linux", "stop:_:7", {"4242\n"}, "alice", true, {{"4242", "4243"}, {"4243"}}));
  EXPECT_EQ((Ran{{kLookup7, "alice"},
                 {"kill -TERM '4242' '4243'", "alice"},
                 {"kill -9 '4243'", "alice"},
                 {"screen -wipe", "alice"}}),
            rec_.ran);
  EXPECT_EQ(41u, rec_.pauses.size()) << "40 steps of grace, one after SIGKILL";
  EXPECT_EQ("fail", route("linux", "stop:_:7", {"4242\n"}, "alice", true, {{"4242"}}, true));
  EXPECT_EQ(2u + 20u + 1u, rec_.ran.size()) << "SIGTERM, SIGKILL at every step of the kill wait, the wipe";
  EXPECT_EQ("Server stopped", route("linux", "stop:_:7:_:bfsmd"));  // not running: no kill
  EXPECT_EQ(2u, rec_.ran.size());
  EXPECT_EQ(kLookup7, rec_.ran[1].first);
  EXPECT_EQ("Server stopped", route("FreeBSD", "stop:_:7:_:bfsmd", {}, "bob'x"));
  EXPECT_EQ((Ran{{"pkill -u 'bob'\\''x'", "bob'x"}}), rec_.ran);
}

TEST_F(ServiceLines, RestartWaitsUntilTheKilledSessionIsGoneBeforeStarting) {
  // stop: lookup, kill, wipe; the session lingers for two more lookups; then the start.
  EXPECT_EQ(kStartLine7, route("freebsd", "re" + kStart7, {}));
  EXPECT_EQ("pkill -u 'alice'", rec_.ran[0].first);
  route("linux", "re" + kStart7,
        {"4242\n", "\n", "\n", "4242\n", "4242\n", "\n", "\n", "\n", "4300\n", "4301\n"}, "alice", true,
        {{"4242"}, {}});
  Ran expected = {{kLookup7, "alice"},          {"kill -TERM '4242'", "alice"},
                  {"screen -wipe", "alice"},    {kLookup7, "alice"},
                  {kLookup7, "alice"},          {kLookup7, "alice"},
                  {kLookup7, "alice"},          {kStartLine7, "alice"},
                  {kCheck7, "alice"},           {kServicePid7, "alice"},
                  {"renice '5' '4301'", "root"}};
  EXPECT_EQ(expected, rec_.ran);
  EXPECT_EQ((std::vector<unsigned>{250, 250, 250, 3000, 15000}), rec_.pauses);
  // A session that never goes: the wait ends after about 5 seconds and the start refuses.
  EXPECT_EQ("Server is still running, you will need to stop it first..",
            route("linux", "re" + kStart7, std::deque<std::string>(40, "4242\n")));
  EXPECT_EQ(20u, rec_.pauses.size());
}

TEST(SessionPids, OnlyLinesOfDigits) {
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {"\n", {}},           {"", {}},
      {"12\n", {"12"}},     {"12\n345\n\n", {"12", "345"}},
      {"12 x\n7\n", {"7"}}, {"No Sockets found in /run/screen/S-alice.\n\n", {}}};
  for (const auto& row : rows) EXPECT_EQ(row.second, sessionPids(row.first)) << row.first;
}

TEST(ServiceCommandLines, StatusAndScreenexecQuoteEveryValueOnBothSystems) {
  const std::string status =
      "ps aux | grep -- 'a b' | grep -- '-$x' | grep -- '' | awk -F \" \" '{ print $2 }'";
  const std::string exec = "cd /home/'alice' ; PID=$(" + pidsOf("'service7'") +
                           " | head -n 1) ; if [ -n \"$PID\" ] ; then SESSION=\"$PID\".'service7' ; "
                           "f=`mktemp` && { printf '%s\\r' "
                           "'say \"hi\" '\\'';'\\'' `id` $HOME ^C \\015' > \"$f\" ; screen -p 0 -S "
                           "\"$SESSION\" -X readreg p \"$f\" ; "
                           "screen -p 0 -S \"$SESSION\" -X paste p ; screen -Q -S \"$SESSION\" echo '' > "
                           "/dev/null ; rm -f \"$f\" ; } ; "
                           "fi";
  for (const char* os : {"linux", "freebsd"}) {
    checkRows({{os, "status:_:a b:_:-$x", status},
               {os, "screenexec:_:service7:_:say \"hi\" ';' `id` $HOME ^C \\015", exec},
               {os, "SCREENEXEC:_:service7:_:say \"hi\" ';' `id` $HOME ^C \\015:_:ignored", exec}},
              "alice");
  }
}

TEST(ServiceId, OnlyIdsThatStayOneFileNameSuffix) {
  for (const char* good : {"1", "12", "game.eu", "a b", "..x", "-1", "x'y"})
    EXPECT_TRUE(validServiceId(good)) << good;
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "/", "../x", "1\nexec reboot",
                                                         "1\r", std::string("1\0", 2), "\x7f"})
    EXPECT_FALSE(validServiceId(bad)) << bad;
}

}  // namespace
