// The child module called in-process: the work form and the exec form as an account, the
// verified identity switch (faults injected through the test seam), and what the parent logs
// for its children. Creates accounts, so it runs only inside tests/sandbox.
#include "dispatch/Child.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The ids and groups a child runs with, as text.
std::string identity() {
  uid_t ru, eu, su;
  gid_t rg, eg, sg, groups[64];
  getresuid(&ru, &eu, &su);
  getresgid(&rg, &eg, &sg);
  std::string text;
  for (unsigned id : {ru, eu, su, rg, eg, sg}) text += std::to_string(id) + " ";
  for (int i = 0, n = getgroups(64, groups); i < n; ++i) text += "+" + std::to_string(groups[i]);
  return text;
}

// A switch that cannot be verified runs neither form; the verified one runs the account's
// whole identity in both.
TEST_F(ChildTest, OnlyAVerifiedSwitchRunsWorkOrCommand) {
  const std::string
      marker = dir_ + "/ran",
      mismatch =
          "There was a problem with ChangeId: the ids read back after the switch are not the account's";
  auto body = [&](WorkOutput& w) {
    shell("touch " + marker);
    w.append(identity());
  };
  const struct {
    std::string user;
    SwitchFault fault;
    ChildStatus status;
    std::string logged;
  } cases[] = {
      {"nosuchaccount", SwitchFault::None, ChildStatus::NoAccount, "getpwnam_r()"},
      {std::string("root\0x", 6), SwitchFault::None, ChildStatus::NoAccount, "getpwnam_r()"},
      {kAccount, SwitchFault::KeepGroup, ChildStatus::SwitchFailed, mismatch},
      {kAccount, SwitchFault::KeepSupplementaryGroups, ChildStatus::SwitchFailed, mismatch},
      {kAccount, SwitchFault::KeepSavedUser, ChildStatus::SwitchFailed,
       "There was a problem with ChangeId: the account could become root again"},
  };
  for (const auto& c : cases) {
    setSwitchFaultForTesting(c.fault);
    std::string reply = "left over";
    EXPECT_EQ(work(c.user, body, reply), c.status) << c.logged;
    EXPECT_EQ(reply, "");
    EXPECT_EQ(err_, c.logged + "\n");
    CommandChild child;
    testing::internal::CaptureStderr();
    EXPECT_EQ(child.start(c.user, "touch " + marker, -1), c.status) << c.logged;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(c.logged), std::string::npos);
    EXPECT_FALSE(pathExists(marker)) << "it ran: " << c.logged;
  }
  setSwitchFaultForTesting(SwitchFault::None);
  const std::string uid = shell(std::string("id -u ") + kAccount + " | tr -d '\\n'"),
                    gid = shell(std::string("id -g ") + kAccount + " | tr -d '\\n'");
  std::string reply;
  EXPECT_EQ(work(kAccount, body, reply), ChildStatus::Ran);
  EXPECT_EQ(reply, uid + " " + uid + " " + uid + " " + gid + " " + gid + " " + gid + " +" + gid);
  ASSERT_EQ(unlink(marker.c_str()), 0);
  {
    CommandChild child;
    EXPECT_EQ(child.start(kAccount, "touch " + marker, -1), ChildStatus::Ran);
  }
  EXPECT_TRUE(pathExists(marker)) << "the child is reaped when its owner goes";
  EXPECT_EQ(identity(), "0 0 0 0 0 0 +4+100") << "the parent's identity must not change";
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
                },
                reply),
            ChildStatus::Ran);
  EXPECT_TRUE(reply == std::string("a\0b", 3) + big) << reply.size() << " bytes";
  EXPECT_EQ(out_, "first line\nsecond line\n");
  EXPECT_EQ(err_, "a warning %s %n\n");
}

// A child that ends before its work did gives no reply, not part of one, and a warning.
TEST_F(ChildTest, ChildKilledBeforeItsWorkEndedGivesNoReplyAndAWarning) {
  std::string reply;
  auto body = [](WorkOutput& w) {
    w.append(std::string(200000, 'p'));
    w.flush();
    raise(SIGKILL);
  };
  EXPECT_EQ(work(kAccount, body, reply), ChildStatus::Died);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(err_, "There was a problem with the child's work: it was ended by signal 9\n");
}

}  // namespace
