// The directory checksum listing: the JSON form (dotted keys nest, "/" as "\/", walk order),
// which entries get a key, and that hashing on several threads answers byte for byte what one
// thread does.
#include "handlers/directorymd5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace {

class DirectoryMd5 : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kadrel-md5-XXXXXX";  // no dot: the path up to a file is one key
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) system(("rm -rf '" + dir_ + "'").c_str());
  }
  void write(const std::string& rel, const std::string& content) {
    std::ofstream(dir_ + "/" + rel, std::ios::binary) << content;
  }
  // The walk's key of `rel`, as the JSON writer prints it.
  std::string key(const std::string& rel) const {
    std::string k;
    for (char c : dir_ + "/" + rel) k += c == '/' ? std::string("\\/") : std::string(1, c);
    return k;
  }
  std::string dir_;
};

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";

TEST_F(DirectoryMd5, JsonFormOfOneFileAnEmptyFileAndAnEmptyTree) {
  EXPECT_EQ(directoryMd5Json(dir_, 2), "{\n}\n");
  write("plain", "abc");
  EXPECT_EQ(directoryMd5Json(dir_, 2), "{\n    \"" + key("plain") + "\": \"" + kAbcMd5 + "\"\n}\n");
  write("plain", "");
  EXPECT_EQ(directoryMd5Json(dir_, 1), "{\n    \"" + key("plain") + "\": \"" + kEmptyMd5 + "\"\n}\n");
}

TEST_F(DirectoryMd5, EveryDotStartsANestingLevel) {
  ASSERT_EQ(dir_.find('.'), std::string::npos);
  ASSERT_EQ(mkdir((dir_ + "/d.x").c_str(), 0755), 0);
  write("d.x/f.tar.gz", "abc");
  EXPECT_EQ(directoryMd5Json(dir_, 2),
            "{\n    \"" + key("d") + "\": {\n        \"x\\/f\": {\n            \"tar\": {\n" +
                "                \"gz\": \"" + kAbcMd5 + "\"\n            }\n        }\n    }\n}\n");
}

TEST_F(DirectoryMd5, OnlyRegularFilesGetKeysAndAreOpened) {
  write("file", "abc");
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0644), 0);          // would block an open
  ASSERT_EQ(symlink("/dev/zero", (dir_ + "/zero").c_str()), 0);  // would never end
  ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), (dir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  write("sub/inner", "");
  ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "/sub/loop").c_str()), 0);                // not descended into
  ASSERT_EQ(symlink((dir_ + "/file").c_str(), (dir_ + "/sub/tofile").c_str()), 0);  // digested through

  const std::string json = directoryMd5Json(dir_, 2);
  for (const char* absent : {"fifo", "zero", "dangling", "loop"})
    EXPECT_EQ(json.find(absent), std::string::npos) << absent << " in " << json;
  // Three members, in whatever order the directory lists them.
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 5) << json;
  for (const auto& member : {std::make_pair("file", kAbcMd5), std::make_pair("sub/inner", kEmptyMd5),
                             std::make_pair("sub/tofile", kAbcMd5)})
    EXPECT_NE(json.find("    \"" + key(member.first) + "\": \"" + member.second + "\""), std::string::npos)
        << member.first << " in " << json;
}

TEST_F(DirectoryMd5, MissingStartDirectoryAnswersAnEmptyObject) {
  EXPECT_EQ(directoryMd5Json(dir_ + "/missing", 2), "{\n}\n");
  write("notadir", "abc");
  EXPECT_EQ(directoryMd5Json(dir_ + "/notadir", 2), "{\n}\n");
}

TEST_F(DirectoryMd5, AFileNextToItsDottedNameCannotBeWritten) {
  write("a", "1");
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
