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
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "core/Log.h"
#include "exec/Descriptors.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/PeerWatch.h"
#include "exec/TreeWalk.h"

namespace {

// One regular file of the walk and what hashing it gave. `dev` and `ino` are those the walk
// found: the file hashed must be that one, whatever its path names by then.
struct Listed {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  bool viaLink = false;  // the entry is a link to a file of the tree
  enum { kPending, kDigest, kUnreadable } state = kPending;
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
  explicit Hasher(PeerWatch* watch) : watch_(watch), ctx_(EVP_MD_CTX_new()), block_(kReadBlock) {}

  void hash(Listed& entry) {
    // The path is only looked at (O_PATH: nothing is opened, no device, no FIFO) until it is
    // known to be the file the walk found; then that very file is opened for reading.
    const Fd at(open(entry.path.c_str(), O_PATH | O_CLOEXEC | (entry.viaLink ? 0 : O_NOFOLLOW)));
    struct stat st;
    if (at.get() < 0 || fstat(at.get(), &st) != 0 || st.st_dev != entry.dev || st.st_ino != entry.ino ||
        !S_ISREG(st.st_mode)) {
      entry.state = Listed::kUnreadable;
      return;
    }
    Fd fd(open(("/proc/self/fd/" + std::to_string(at.get())).c_str(),
               O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
      entry.state = Listed::kUnreadable;
      return;
    }
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) {
      entry.state = Listed::kUnreadable;
      return;
    }
    // A read error ends the file: the digest covers what was read before it.
    for (;;) {
      if (watch_ != nullptr && watch_->gone()) return;  // nobody waits for the answer
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
  PeerWatch* watch_;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx_;
  std::vector<char> block_;
};

// The absolute path of what `fd` is open on, as the kernel names it.
bool pathOf(int fd, std::string& path) {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
  path.assign(buf, static_cast<size_t>(n));
  return true;
}

// Lists the regular files the walk meets, and the links to regular files of the tree itself.
class Lister : public TreeVisitor {
 public:
  Lister(std::vector<Listed>& files, std::string& path, const std::string& inside)
      : files_(files), path_(path), inside_(inside) {}

  bool entry(int dir, const std::string& name, size_t) override {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    bool viaLink = false;
    if (S_ISLNK(st.st_mode)) {
      // Followed only to look: a dangling link, or one to a directory, a device, a FIFO or a
      // file outside the tree gets no key.
      const Fd target(openat(dir, name.c_str(), O_PATH | O_CLOEXEC));
      std::string where;
      if (target.get() < 0 || fstat(target.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
          !pathOf(target.get(), where) || where.compare(0, inside_.size(), inside_) != 0)
        return true;
      viaLink = true;
    }
    if (!S_ISREG(st.st_mode)) return true;
    files_.emplace_back();
    Listed& listed = files_.back();
    listed.path = path_;
    listed.dev = st.st_dev;
    listed.ino = st.st_ino;
    listed.viaLink = viaLink;
    return true;
  }

 private:
  std::vector<Listed>& files_;
  const std::string& path_;
  const std::string& inside_;
};

// Logs why the walk ended early.
void reportWalkError(const std::string& root, int err) {
  Log("There was a problem with directorymd5: " + root + ": " + strerror(err));
}

// The regular files below `root` (the start path may be a link; nothing below it is followed
// but a link to a file of the tree), in the directories' own order. False when the panel went.
bool walk(const std::string& root, std::vector<Listed>& files) {
  const Fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  std::string inside;
  if (dir.get() < 0 || !pathOf(dir.get(), inside)) {
    reportWalkError(root, errno);
    return true;
  }
  if (inside.back() != '/') inside += '/';
  std::string path = root;
  Lister lister(files, path, inside);
  const WalkEnd end = walkTree(dir.get(), path, lister);
  if (end == WalkEnd::Failed) reportWalkError(root, errno);
  return end != WalkEnd::PeerGone;
}

// Hashes every entry, taking the next one from a shared counter, so that one large file does
// not hold up the rest.
void hashAll(std::vector<Listed>& files, unsigned workers) {
  std::atomic<size_t> next(0);
  PeerWatch* watch = PeerWatch::current();
  auto work = [&files, &next, watch] {
    Hasher hasher(watch);
    for (size_t i; (i = next.fetch_add(1)) < files.size() && !(watch && watch->gone());)
      hasher.hash(files[i]);
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
  std::vector<Listed> files;
  if (walk(root, files)) hashAll(files, workers);
  if (peerGone()) {
    Log_warn("%s", kPeerGoneWarning);
    return std::string();
  }

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
