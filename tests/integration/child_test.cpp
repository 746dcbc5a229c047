// The child module called in-process: the work form and the exec form, as root and as an
// account, the verified identity switch (faults injected through the test seam), and what the
// parent logs for its children. Creates accounts, so it runs only inside tests/sandbox.
#include "dispatch/Child.h"

#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "../unit/TestSettings.h"
#include "AgentFixture.h"

namespace {

const char* kAccount = "kchildacct";

class ChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(getenv("KADREL_SANDBOX_INSIDE"), "1") << "run through tests/sandbox";
    ensureAccount(kAccount, "-G adm");
    // Supplementary groups of its own, which a child must not keep (root here has none): two,
    // so that a read-back that checks only their number or only the first one is caught.
    const gid_t parentGroups[] = {4, 100};  // adm, users
    ASSERT_EQ(setgroups(2, parentGroups), 0);
    char tmpl[] = "/tmp/kadrel-child.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0777);
    // Ordinary log lines on standard output, levelled ones on standard error.
    settings_ = std::make_unique<WithSettings>(settingsFor("linux", "debug=alwayson\n"));
  }
  void TearDown() override {
    settings_.reset();
    setSwitchFaultForTesting(SwitchFault::None);
    setgroups(0, nullptr);
    if (!dir_.empty()) shell("rm -rf " + dir_);
  }

  // runWorkAs with the parent's standard output and error captured.
  ChildStatus work(const std::string& user, const std::function<void(WorkOutput&)>& body,
                   std::string& reply) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ChildStatus status = runWorkAs(user, body, reply);
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    return status;
  }

  std::string dir_, out_, err_;
  std::unique_ptr<WithSettings> settings_;
};

// The identity, directory and environment a child runs with, as text.
std::string identity() {
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  getresuid(&ru, &eu, &su);
  getresgid(&rg, &eg, &sg);
  gid_t groups[64];
  int n = getgroups(64, groups);
  std::string text = std::to_string(ru) + "/" + std::to_string(eu) + "/" + std::to_string(su) + " " +
                     std::to_string(rg) + "/" + std::to_string(eg) + "/" + std::to_string(sg) + " [";
  for (int i = 0; i < n; ++i) text += (i ? " " : "") + std::to_string(groups[i]);
  char cwd[4096];
  text += "] " + std::string(getcwd(cwd, sizeof cwd) ? cwd : "?");
  for (const char* name : {"USER", "LOGNAME", "HOME"})
    text += std::string(" ") + (getenv(name) ? getenv(name) : "-");
  return text;
}

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

TEST_F(ChildTest, WorkRunsAsRootOrAsTheAccountWithItsWholeIdentity) {
  const std::string uid = trimmed(shell(std::string("id -u ") + kAccount)),
                    gid = trimmed(shell(std::string("id -g ") + kAccount));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string agentIdentity = identity();
  const struct {
    std::string user, expected;
  } cases[] = {
      {"root", agentIdentity},
      {"ROOT", agentIdentity},
      {kAccount, uid + "/" + uid + "/" + uid + " " + gid + "/" + gid + "/" + gid + " [" + gid + "] /home/" +
                     kAccount + " " + kAccount + " " + kAccount + " /home/" + kAccount},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(work(
                  c.user, [](WorkOutput& w) { w.append(identity()); }, reply),
              ChildStatus::Ran)
        << c.user;
    EXPECT_EQ(reply, c.expected) << c.user;
    EXPECT_EQ(err_, "") << c.user;
  }
  EXPECT_EQ(identity(), agentIdentity) << "the parent's identity must not change";
}

TEST_F(ChildTest, WorkKeepsOnlyTheStandardDescriptorsAndItsPipe) {
  std::string reply;
  ASSERT_EQ(work(
                kAccount,
                [](WorkOutput& w) {
                  // The listing's own descriptor is left out.
                  DIR* d = opendir("/proc/self/fd");
                  std::string fds;
                  for (dirent* e; d && (e = readdir(d));)
                    if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d))
                      fds += std::string(e->d_name) + " ";
                  if (d) closedir(d);
                  w.append(fds);
                },
                reply),
            ChildStatus::Ran);
  EXPECT_EQ(reply.substr(0, 6), "0 1 2 ") << reply;
  EXPECT_EQ(std::count(reply.begin(), reply.end(), ' '), 4) << "0, 1, 2 and the work pipe: " << reply;
}

TEST_F(ChildTest, WorkReplyLogLinesAndWarningsArriveInOrderOnce) {
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i);
  std::string reply;
  ASSERT_EQ(work(
                kAccount,
                [&](WorkOutput& w) {
                  w.log("first line");
                  w.append("a\0b", 3);
                  w.warn("a warning %s %n");
                  w.append(big);
                  w.log("second line");
                  w.append(std::string());
                },
                reply),
            ChildStatus::Ran);
  EXPECT_TRUE(reply == std::string("a\0b", 3) + big) << reply.size() << " bytes";
  EXPECT_EQ(out_, "first line\nsecond line\n");
  EXPECT_EQ(err_, "a warning %s %n\n");  // one message a line
}

TEST_F(ChildTest, UnknownAccountOrFailedSwitchRunsNoWork) {
  const std::string marker = dir_ + "/ran";
  auto body = [&](WorkOutput& w) {
    shell("touch " + marker);
    w.append("ran");
  };
  const struct {
    std::string user;
    SwitchFault fault;
    ChildStatus status;
    std::string logged;
  } cases[] = {
      {"nosuchaccount", SwitchFault::None, ChildStatus::NoAccount, "getpwnam_r()"},
      {kAccount, SwitchFault::KeepGroup, ChildStatus::SwitchFailed,
       "There was a problem with ChangeId: the ids read back after the switch are not the account's"},
      {kAccount, SwitchFault::KeepSupplementaryGroups, ChildStatus::SwitchFailed,
       "There was a problem with ChangeId: the ids read back after the switch are not the account's"},
      {kAccount, SwitchFault::KeepSavedUser, ChildStatus::SwitchFailed,
       "There was a problem with ChangeId: the account could become root again"},
  };
  for (const auto& c : cases) {
    setSwitchFaultForTesting(c.fault);
    std::string reply = "left over";
    EXPECT_EQ(work(c.user, body, reply), c.status) << c.logged;
    EXPECT_EQ(reply, "");
    EXPECT_EQ(err_, c.logged + "\n");
    EXPECT_EQ(access(marker.c_str(), F_OK), -1) << "the work ran: " << c.logged;
  }
  setSwitchFaultForTesting(SwitchFault::None);
  std::string reply;
  EXPECT_EQ(work(kAccount, body, reply), ChildStatus::Ran);
  EXPECT_EQ(reply, "ran");
}

TEST_F(ChildTest, ChildThatEndsBeforeItsWorkGivesNoReplyAndAWarning) {
  const struct {
    std::function<void(WorkOutput&)> body;
    std::string warning;
  } cases[] = {
      {[](WorkOutput& w) {
         w.append(std::string(200000, 'p'));
         w.warn("before the end");
         w.flush();
         raise(SIGKILL);
       },
       "before the end\nThere was a problem with the child's work: it was ended by signal 9\n"},
      {[](WorkOutput& w) {
         w.append("partial");
         _exit(0);
       },
       "There was a problem with the child's work: it ended with status 0 before its work did\n"},
      {[](WorkOutput& w) {
         w.append("partial");
         throw std::runtime_error("thrown");
       },
       "There was a problem with the child's work: thrown\nThere was a problem with the child's work: it "
       "ended "
       "with status 1 before its work did\n"},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(work(kAccount, c.body, reply), ChildStatus::Died);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(err_, c.warning);
  }
}

TEST_F(ChildTest, ExecFormRefusesAnUnverifiedSwitch) {
  const std::string marker = dir_ + "/exec-ran";
  for (SwitchFault fault :
       {SwitchFault::KeepGroup, SwitchFault::KeepSupplementaryGroups, SwitchFault::KeepSavedUser}) {
    setSwitchFaultForTesting(fault);
    CommandChild child;
    testing::internal::CaptureStderr();
    EXPECT_EQ(child.start(kAccount, "touch " + marker, -1), ChildStatus::SwitchFailed);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("There was a problem with ChangeId: "),
              std::string::npos);
  }
  EXPECT_EQ(access(marker.c_str(), F_OK), -1);
  setSwitchFaultForTesting(SwitchFault::None);
  {
    CommandChild child;
    EXPECT_EQ(child.start(kAccount, "touch " + marker, -1), ChildStatus::Ran);
  }
  EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the child is reaped when its owner goes";
}

}  // namespace
