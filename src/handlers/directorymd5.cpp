// The directory checksum listing: walk, hash in parallel, fill the tree in walk order.
#include "handlers/directorymd5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

// The property tree's JSON parser still includes the global bind placeholders; saying so
// keeps its deprecation note out of every build.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <atomic>
#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

#include "core/ErrorHandler.h"
#include "dispatch/Descriptors.h"
#include "dispatch/InstructionParserHelpers.h"

namespace fs = boost::filesystem;

namespace {

// One regular file of the walk and what hashing it gave.
struct Listed {
  std::string path;
  enum { kPending, kDigest, kUnreadable, kNotRegular } state = kPending;
  std::string digest;
};

// Block size of the streamed read: memory stays the same whatever the file's size.
const size_t kReadBlock = 128 * 1024;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// One hashing thread's tools: its digest context and read buffer.
class Hasher {
 public:
  Hasher() : ctx_(EVP_MD_CTX_new()), block_(kReadBlock) {}

  void hash(Listed& entry) {
    // O_NONBLOCK: a path swapped for a FIFO after the walk must not block the open.
    Fd fd(open(entry.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
      entry.state = Listed::kUnreadable;
      return;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      entry.state = Listed::kNotRegular;
      return;
    }
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) {
      entry.state = Listed::kUnreadable;
      return;
    }
    // A read error ends the file: the digest covers what was read before it.
    for (;;) {
      ssize_t n = read(fd.get(), block_.data(), block_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      EVP_DigestUpdate(ctx_.get(), block_.data(), static_cast<size_t>(n));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), md, &len);
    static const char hex[] = "0123456789abcdef";
    entry.digest.resize(2 * len);
    for (unsigned int i = 0; i < len; ++i) {
      entry.digest[2 * i] = hex[md[i] >> 4];
      entry.digest[2 * i + 1] = hex[md[i] & 0xf];
    }
    entry.state = Listed::kDigest;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx_;
  std::vector<char> block_;
};

// The regular files below `root` (links followed), in the iterator's order. Links to
// directories are not descended into (the iterator's default), so a link loop cannot trap it.
std::vector<Listed> walk(const std::string& root) {
  std::vector<Listed> files;
  try {
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
      boost::system::error_code ec;
      // status() follows links: a dangling link is "not found", a link to /dev/zero a device.
      if (fs::is_regular_file(it->status(ec))) {
        files.emplace_back();
        files.back().path = it->path().string();
      }
    }
  } catch (const fs::filesystem_error& e) {
    Log(e.what());
  }
  return files;
}

// Hashes every entry, taking the next one from a shared counter, so that one large file does
// not hold up the rest.
void hashAll(std::vector<Listed>& files, unsigned workers) {
  std::atomic<size_t> next(0);
  auto work = [&files, &next] {
    Hasher hasher;
    for (size_t i; (i = next.fetch_add(1)) < files.size();) hasher.hash(files[i]);
  };
  if (workers > files.size()) workers = static_cast<unsigned>(files.size());
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < workers; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads: the calling thread still hashes whatever is left
    }
  }
  work();
  for (std::thread& t : threads) t.join();
}

}  // namespace

std::string directoryMd5Json(const std::string& root, unsigned workers) {
  std::vector<Listed> files = walk(root);
  hashAll(files, workers);

  boost::property_tree::ptree tree;
  for (const Listed& f : files) {
    if (f.state == Listed::kDigest)
      tree.put(f.path, f.digest);
    else if (f.state == Listed::kUnreadable)
      tree.put(f.path, std::string());
  }
  std::ostringstream json;
  boost::property_tree::write_json(json, tree);
  return json.str();
}

std::string directoryMd5(std::vector<std::string>& strlines, std::string&, std::string&) {
  return directoryMd5Json(arg(strlines, 1), std::thread::hardware_concurrency());
}
