// The work pipe's records, written by WorkOutput as a child does and read back by WorkReader as
// the agent does, however the pipe splits them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/Identity.h"
#include "dispatch/WorkRecords.h"

namespace {

// Everything `write` puts through a WorkOutput, as the bytes the pipe would carry.
template <typename Write>
std::string recordsOf(Write write) {
  const int fd = memfd_create("work-records", 0);
  EXPECT_GE(fd, 0);
  {
    WorkOutput out(fd);
    write(out);
  }
  std::string bytes;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  close(fd);
  return bytes;
}

TEST(WorkRecords, ReplyAndLinesArriveWholeAndInOrderWhereverThePipeSplitsThem) {
  std::string big(200000, '\0');  // more than one flush of the child's buffer, NUL bytes included
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  const std::string bytes = recordsOf([&](WorkOutput& out) {
    out.append("first ");
    out.log("a log line");
    out.append(big);
    out.append("", 0);
    out.warn("a warning\nover two lines");
    out.log("");
    out.flush(true);
  });
  const std::vector<std::pair<bool, std::string>> lines = {
      {false, "a log line"}, {true, "a warning\nover two lines"}, {false, ""}};
  for (const size_t piece : {size_t(1), size_t(3), size_t(4096), bytes.size()}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    std::string reply;
    const ReplySink sink = [&](const char* data, size_t n) {
      reply.append(data, n);
      return true;
    };
    WorkReader reader(sink);
    for (size_t at = 0; at < bytes.size(); at += piece)
      ASSERT_TRUE(reader.feed(bytes.data() + at, std::min(piece, bytes.size() - at)));
    EXPECT_TRUE(reply == "first " + big) << "reply of " << reply.size() << " bytes";
    EXPECT_EQ(lines, reader.lines);
    EXPECT_TRUE(reader.done);
    EXPECT_FALSE(reader.failed);
  }
}

TEST(WorkRecords, AFailureCarriesItsCodeAndErrnoAndARefusedReplyStopsTheReading) {
  const std::string failed = recordsOf([](WorkOutput& out) { out.fail({kChdir, ENOENT}); });
  const ReplySink takeAll = [](const char*, size_t) { return true; };
  WorkReader failure(takeAll);
  EXPECT_TRUE(failure.feed(failed.data(), failed.size()));
  EXPECT_TRUE(failure.failed);
  EXPECT_EQ(kChdir, failure.report.code);
  EXPECT_EQ(ENOENT, failure.report.err);
  EXPECT_FALSE(failure.done) << "a child that failed never finished its work";

  const std::string bytes = recordsOf([](WorkOutput& out) {
    out.append("refused");
    out.log("after the refusal");
    out.flush(true);
  });
  int calls = 0;
  const ReplySink refuse = [&](const char*, size_t) {
    ++calls;
    return false;
  };
  WorkReader refused(refuse);
  EXPECT_FALSE(refused.feed(bytes.data(), bytes.size()));
  EXPECT_TRUE(refused.refused);
  EXPECT_EQ(1, calls);
  EXPECT_TRUE(refused.lines.empty()) << "nothing after a refusal is taken";
  EXPECT_FALSE(refused.done);
}

}  // namespace
