// Start-up: configuration failures, host-program check, foreground and detached modes.
#include "AgentFixture.h"

class StartupTest : public AgentFixture {};

TEST_F(StartupTest, ForegroundAgentAnswersVersion) {
  startAgent();
  EXPECT_EQ(runInstruction("version"), "2.0.0.0\r\n");
  EXPECT_TRUE(waitForLogLine("Kadrel-Remote Started"));
}
