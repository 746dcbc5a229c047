// What the connection threads share: the process-wide session settings, the log and the
// dispatcher, used by several threads at once. Meant above all for the thread-sanitized build
// (scripts/test --sanitize thread), where any data race fails the test; in every build it
// checks that log lines stay whole and settings are read as one consistent set.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSettings.h"
#include "core/ErrorHandler.h"
#include "dispatch/InstructionParser.h"
#include "session/SocketParser.h"

namespace {

TEST(Concurrency, SettingsLoggingAndDispatchFromManyThreadsAtOnce) {
  WithSettings saved(settingsFor("linux", "debug=alwayson\n"));
  const int kThreads = 4, kRounds = 100;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string me = "user" + std::to_string(t);
        setSessionSettings({me, "yes", "no"});
        const SessionSettings seen = currentSessionSettings();
        EXPECT_EQ(seen.user.rfind("user", 0), 0u) << seen.user;
        EXPECT_EQ(seen.expectreturn + "/" + seen.closesocket, "yes/no");
        Log("line " + std::to_string(t) + " " + std::to_string(i));
        Log_warn("warning %d %d", t, i);
        std::string data = "version", user = me, expectreturn = "yes";
        EXPECT_EQ(InstructionParser(data, user, expectreturn), KADREL_VERSION);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  // Every line arrives once and whole, whatever the order.
  for (const auto& [text, prefix] : {std::pair<std::string, std::string>{out, "line "}, {err, "warning "}}) {
    std::multiset<std::string> lines, expected;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0) lines.insert(line);
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kRounds; ++i) expected.insert(prefix + std::to_string(t) + " " + std::to_string(i));
    EXPECT_EQ(lines, expected) << prefix;
  }
}

}  // namespace
