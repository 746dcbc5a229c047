// The metrics file's text and its writing: names a customer typed (an instruction's, a service
// id) can neither add a series nor break the format, which promtool checks whole; a reader never
// sees a file being written.
#include "agent/Metrics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "core/Metrics.h"
#include "dispatch/InstructionTable.h"

namespace {

std::string readFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

TEST(MetricsText, CraftedNamesAddNoSeriesAndPromtoolAcceptsTheText) {
  SizeInstructionMetrics(instruction_table.size() + 1);
  for (const char* name : {"version", "VERSION", "nosuch", "x\"} 1\nkadrel_forged 2"})
    CountInstruction(instructionRow(name), InstructionOutcome::Answered, 0.003);
  CountInstruction(instructionRow("start"), InstructionOutcome::Failed, 40);
  ServiceSample running, ended;
  running.account = ended.account = "gamer";
  running.id = "a\"b\\c\nd} 1\n\xff\xc3\xa9";
  running.since = 1700000000;
  running.usage.running = true;
  running.usage.cpuSeconds = 1.5;
  running.usage.memoryBytes = running.usage.tasks = running.usage.oomKills = 3;
  running.usage.limits.memoryBytes = 64 << 20;
  running.usage.limits.cpuPercent = 150;
  ended.id = "7";
  const std::string text = MetricsText(1600000000, 2, {running, ended});

  const std::string path = testing::TempDir() + "/metrics.prom";
  std::ofstream(path) << text;
  EXPECT_EQ(0, system(("promtool check metrics < " + path + " >/dev/null").c_str())) << text;
  std::istringstream lines(text);
  size_t series = 0;
  for (std::string line; std::getline(lines, line);) series += !line.empty() && line[0] != '#';
  // The agent's 11, 3 rows of instructions (version, other, start) with 3 outcomes and 15 lines
  // of histogram each, 9 of the running service and 1 of the ended one (running, 0).
  EXPECT_EQ(11u + 3 * (3 + 15) + 9 + 1, series) << text;
  const std::string label = "account=\"gamer\",service=\"a\\\"b\\\\c\\nd} 1\\n\xef\xbf\xbd\xc3\xa9\"";
  for (const std::string& expected : std::initializer_list<std::string>{
           "kadrel_instructions_total{instruction=\"version\",outcome=\"answered\"} 2\n",
           "kadrel_instructions_total{instruction=\"other\",outcome=\"answered\"} 2\n",
           "kadrel_instruction_duration_seconds_bucket{instruction=\"start\",le=\"30\"} 0\n",
           "kadrel_instruction_duration_seconds_bucket{instruction=\"start\",le=\"+Inf\"} 1\n",
           "kadrel_service_running{" + label + "} 1\n", "kadrel_service_cpu_limit_cores{" + label + "} 1.5\n",
           "kadrel_service_running{account=\"gamer\",service=\"7\"} 0\n", "kadrel_penalised_sources 2\n"})
    EXPECT_NE(std::string::npos, text.find(expected)) << expected << text;
}

// A reader that opened the file before a write keeps the whole old text: the new one is
// written beside it and renamed over it, never in place.
TEST(MetricsFile, AReaderSeesTheOldFileOrTheNewOneWhole) {
  const std::string path = testing::TempDir() + "/kadrel.prom";
  ASSERT_TRUE(WriteMetricsFile(path, "kadrel_a 1\n"));
  std::ifstream before(path);
  ASSERT_TRUE(WriteMetricsFile(path, "kadrel_a 2\n"));
  std::stringstream old;
  old << before.rdbuf();
  EXPECT_EQ("kadrel_a 1\n", old.str());
  EXPECT_EQ("kadrel_a 2\n", readFile(path));
  EXPECT_NE(0, access((path + ".new").c_str(), F_OK));
  EXPECT_EQ("open", WriteMetricsFile("/nonexistent/kadrel.prom", "").text());
}

}  // namespace
