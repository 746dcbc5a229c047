// The child module called in-process: the verified identity switch of both forms (faults
// injected through the test seam), and a work form whose child dies. Creates accounts, so it
// runs only inside tests/sandbox.
#include "exec/Child.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <tuple>

#include "../unit/TestSettings.h"
#include "AgentFixture.h"
#include "handlers/files.h"

namespace {

const char* kAccount = "kchildacct";

// The ids and groups a process runs with, as text.
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
// whole identity in both; a work form whose child dies gives no reply, not part of one.
TEST(ChildTest, OnlyAVerifiedSwitchRunsWorkOrCommand) {
  ASSERT_STREQ(getenv("KADREL_SANDBOX_INSIDE"), "1") << "run through tests/sandbox";
  ensureAccount(kAccount, "-G adm");
  // A supplementary group of its own (adm), which a child must not keep (root here has none):
  // one, as many as the child's own, so that a read-back that checks only their number is caught.
  const gid_t parentGroup = 4;
  ASSERT_EQ(setgroups(1, &parentGroup), 0);
  WithSettings settings(settingsFor("linux", "debug=alwayson\n"));
  const std::string
      marker = "/tmp/kadrel-child-ran",
      mismatch =
          "There was a problem with ChangeId: the ids read back after the switch are not the account's";
  auto body = [&](WorkOutput& w) {
    shell("touch " + marker);
    w.append(identity());
  };
  const std::tuple<std::string, SwitchFault, ChildStatus, std::string> cases[] = {
      {"nosuchaccount", SwitchFault::None, ChildStatus::NoAccount, "getpwnam_r()"},
      {std::string("root\0x", 6), SwitchFault::None, ChildStatus::NoAccount, "getpwnam_r()"},
      {kAccount, SwitchFault::KeepGroup, ChildStatus::SwitchFailed, mismatch},
      {kAccount, SwitchFault::KeepSupplementaryGroups, ChildStatus::SwitchFailed, mismatch},
      {kAccount, SwitchFault::KeepSavedUser, ChildStatus::SwitchFailed,
       "There was a problem with ChangeId: the account could become root again"},
  };
  for (const auto& [user, fault, status, logged] : cases) {
    setSwitchFaultForTesting(fault);
    std::string reply = "left over";
    CommandChild child;
    testing::internal::CaptureStderr();
    EXPECT_EQ(runWorkAs(user, body, reply), status) << logged;
    EXPECT_EQ(child.start(user, "touch " + marker, -1), status) << logged;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), logged + "\n" + logged + "\n");
    EXPECT_EQ(reply, "");
    EXPECT_FALSE(pathExists(marker)) << "it ran: " << logged;
  }
  setSwitchFaultForTesting(SwitchFault::None);
  const std::string uid = shell(std::string("id -u ") + kAccount + " | tr -d '\\n'"),
                    gid = shell(std::string("id -g ") + kAccount + " | tr -d '\\n'");
  std::string reply;
  EXPECT_EQ(runWorkAs(kAccount, body, reply), ChildStatus::Ran);
  EXPECT_EQ(reply, uid + " " + uid + " " + uid + " " + gid + " " + gid + " " + gid + " +" + gid);
  ASSERT_EQ(unlink(marker.c_str()), 0);
  {
    CommandChild child;
    EXPECT_EQ(child.start(kAccount, "touch " + marker, -1), ChildStatus::Ran);
  }
  EXPECT_TRUE(pathExists(marker)) << "the child is reaped when its owner goes";
  EXPECT_EQ(identity(), "0 0 0 0 0 0 +4") << "the parent's identity must not change";
  auto dies = [](WorkOutput& w) {
    w.append(std::string(200000, 'p'));
    w.flush();
    raise(SIGKILL);
  };
  EXPECT_EQ(runWorkAs(kAccount, dies, reply), ChildStatus::Died);
  EXPECT_EQ(reply, "");
  // So does readfile cut by a read error after its first block went out.
  shell("head -c 200000 /dev/zero > " + marker);
  setReadFailureForTesting(true);
  EXPECT_EQ(readfile("root", marker).size(), 0u) << "a cut file was answered as if whole";
  setReadFailureForTesting(false);
}

}  // namespace
