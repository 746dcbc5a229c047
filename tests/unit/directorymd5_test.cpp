// The directory checksum listing where the agent cannot show it: a file beside its dotted name
// (no JSON form), a start path that is a file, and hashing on several threads answering byte
// for byte what one thread does. The JSON form and the entries that get no key are proven
// against the real agent (integration tests).
#include "handlers/directorymd5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

class DirectoryMd5 : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kadrel-md5-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) system(("rm -rf '" + dir_ + "'").c_str());
  }
  void write(const std::string& rel, const std::string& content) {
    std::ofstream(dir_ + "/" + rel, std::ios::binary) << content;
  }
  std::string dir_;
};

TEST_F(DirectoryMd5, AFileAsStartPathAnswersAnEmptyObjectAFileBesideItsDottedNameThrows) {
  write("a", "1");
  EXPECT_EQ(directoryMd5Json(dir_ + "/a", 2), "{\n}\n");
  write("a.txt", "2");
  EXPECT_THROW(directoryMd5Json(dir_, 2), std::exception);
}

// Sizes around the read block and a few large files, in nested directories, so that threads
// finish out of order.
TEST_F(DirectoryMd5, ParallelHashingAnswersWhatOneThreadDoes) {
  std::string content;
  int n = 0;
  for (int d = 0; d < 12; ++d) {
    const std::string sub = "dir" + std::to_string(d) + (d % 3 == 0 ? ".v" : "");
    ASSERT_EQ(mkdir((dir_ + "/" + sub).c_str(), 0755), 0);
    for (int f = 0; f < 60; ++f, ++n) {
      size_t size = (n % 7 == 0) ? (1 << 20) + n : static_cast<size_t>(n * 997 % 140000);
      content.assign(size, static_cast<char>('a' + n % 26));
      if (size) content[size / 2] = static_cast<char>(n);
      write(sub + "/f" + std::to_string(f) + (f % 4 == 0 ? ".cfg" : ""), content);
    }
  }
  const std::string one = directoryMd5Json(dir_, 1);
  size_t keys = 0;
  for (size_t p = 0; (p = one.find("\": \"", p)) != std::string::npos; ++p) ++keys;
  EXPECT_EQ(keys, 720u);
  for (unsigned workers : {2u, 3u, 8u})
    EXPECT_EQ(directoryMd5Json(dir_, workers), one) << workers << " workers";
}

}  // namespace
