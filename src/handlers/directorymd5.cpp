// The directory checksum listing, written as the walk goes: the JSON document a property tree of
// every file would give, without ever holding the tree.
//
// Why the walk has an order of its own: every "." of a path starts a nesting level, and a
// member's place among its siblings is where its first file came in the directory's own order.
// Every member lies within one directory's entries ("a", "a.txt" and the directory "a.d" are the
// members of "a"), so each directory is read whole (its names, never its files' digests), and a
// member is written, all of it, where its first file comes. A directory with no dot in its name
// continues the key of the member it stands in: its entries are written where it comes, as
// members of that same object. The property tree's own rules are kept: a value stored again
// under a key takes the key's place, a path ending in "." names the member before the dot once
// that exists, and an object whose members are all named "" is written as an array.
//
// A property tree refuses a member that holds a value and members of its own: the first walk
// looks for one without writing anything (the panel then gets no reply), and the second writes.
// A directory that cannot be read ends the walk where a walk in the directories' own order
// would have ended it; the first walk finds that place.
#include "handlers/directorymd5.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

// The property tree's JSON parser still includes the global bind placeholders; saying so
// keeps its deprecation note out of every build.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <algorithm>
#include <atomic>
#include <boost/property_tree/json_parser.hpp>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "core/Log.h"
#include "exec/CommandRunner.h"
#include "exec/Descriptors.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/PeerWatch.h"
#include "exec/TreeWalk.h"

namespace {

// A regular file to digest: the path names it, `dev` and `ino` say which file the walk found
// (the file hashed must be that one, whatever the path names by then).
struct FileRef {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  bool viaLink = false;  // the entry is a link to a file of the tree
};

// Block size of the streamed read: memory stays the same whatever the file's size.
const size_t kReadBlock = 128 * 1024;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// The file `f` opened for reading, if it is still the file the walk found; -1 otherwise. Only
// looked at (O_PATH: nothing is opened, no device, no FIFO) until then.
int openListed(const FileRef& f) {
  const Fd at(open(f.path.c_str(), O_PATH | O_CLOEXEC | (f.viaLink ? 0 : O_NOFOLLOW)));
  struct stat st;
  if (at.get() < 0 || fstat(at.get(), &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino ||
      !S_ISREG(st.st_mode))
    return -1;
  return open(("/proc/self/fd/" + std::to_string(at.get())).c_str(),
              O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// One hashing thread's tools: its digest context and read buffer.
class Hasher {
 public:
  explicit Hasher(PeerWatch* watch) : watch_(watch), ctx_(EVP_MD_CTX_new()), block_(kReadBlock) {}

  // The digest of `f` as 32 hexadecimal digits; "" when it cannot be read.
  std::string hash(const FileRef& f) {
    const Fd fd(openListed(f));
    if (fd.get() < 0 || !ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) return std::string();
    // A read error ends the file: the digest covers what was read before it.
    for (;;) {
      if (watch_ != nullptr && watch_->gone()) return std::string();  // nobody waits for the answer
      ssize_t n = read(fd.get(), block_.data(), block_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      EVP_DigestUpdate(ctx_.get(), block_.data(), static_cast<size_t>(n));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), md, &len);
    static const char hex[] = "0123456789abcdef";
    std::string digest(2 * len, '0');
    for (unsigned int i = 0; i < len; ++i) {
      digest[2 * i] = hex[md[i] >> 4];
      digest[2 * i + 1] = hex[md[i] & 0xf];
    }
    return digest;
  }

 private:
  PeerWatch* watch_;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx_;
  std::vector<char> block_;
};

// The JSON text in order, each file's digest in its place: held until a batch of files is
// complete, the batch hashed on `workers` threads (the calling one included, each taking the
// next file, so that one large file does not hold up the rest), then sent.
class JsonOut {
 public:
  JsonOut(ReplyStream& out, unsigned workers)
      : out_(out), workers_(std::min(std::max(workers, 1u), kThreads)) {}
  void text(const std::string& s) {
    pending_.back().text += s;
    if ((bytes_ += s.size()) > kText) flush();
  }
  void digest(const FileRef& f) {
    pending_.back().file = f;
    pending_.emplace_back();
    if (pending_.size() > kBatch) flush();
  }
  // False once the peer stopped taking the reply (nothing more is hashed then).
  bool flush() {
    if (!sent_) pending_.resize(1);
    std::atomic<size_t> next(0);
    PeerWatch* watch = PeerWatch::current();
    const size_t files = pending_.size() - 1;
    auto work = [this, &next, watch, files] {
      Hasher hasher(watch);
      for (size_t i; (i = next.fetch_add(1)) < files && !(watch && watch->gone());)
        pending_[i].digest = hasher.hash(pending_[i].file);
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < workers_ && t < files; ++t) {
      try {
        threads.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer threads: the calling thread still hashes whatever is left
      }
    }
    work();
    for (std::thread& t : threads) t.join();
    std::string chunk;
    for (size_t i = 0; i < pending_.size(); ++i) {
      chunk += pending_[i].text;
      if (i < files) chunk += '"' + pending_[i].digest + '"';
    }
    pending_.assign(1, Piece());
    bytes_ = 0;
    sent_ = sent_ && !peerGone() && (chunk.empty() || out_.send(chunk.data(), chunk.size()));
    return sent_;
  }
  bool ok() const { return sent_; }

 private:
  static constexpr size_t kBatch = 1024, kText = 1 << 20;  // files, bytes of text held at most
  // Threads at most, each with its read block: what the listing holds does not grow with the
  // host's cores, and eight read files faster than a disk or a connection takes them.
  static constexpr unsigned kThreads = 8;
  struct Piece {
    std::string text;  // then the digest of `file`, unless it is the last piece
    FileRef file;
    std::string digest;
  };
  ReplyStream& out_;
  const unsigned workers_;
  std::vector<Piece> pending_ = std::vector<Piece>(1);
  size_t bytes_ = 0;
  bool sent_ = true;
};

// The absolute path of what `fd` is open on, as the kernel names it.
bool pathOf(int fd, std::string& path) {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
  path.assign(buf, static_cast<size_t>(n));
  return true;
}

// An entry of a directory as the walk classified it on reading the directory.
struct Entry {
  std::string name;
  enum Kind : unsigned char { Other, File, Dir } kind = Other;  // File: one that gets a key
  bool viaLink = false;
  bool done = false;  // taken: written, or found to give no key here
  dev_t dev = 0;
  ino_t ino = 0;
};

// Where a walk in the directories' own order ends early: before the entry at `index` (the
// position of each directory on the way, then of the entry), or after it and all below it.
struct WalkStop {
  std::vector<size_t> index;
  bool after = false;
  int err = 0;
  bool found = false;
};

// Whether the entry at `index` comes before `stop` in the directories' own order (a directory on
// the way to it does: part of what it holds does).
bool beforeStop(const std::vector<size_t>& index, const WalkStop& stop) {
  if (!stop.found) return true;
  const size_t n = std::min(index.size(), stop.index.size());
  for (size_t i = 0; i < n; ++i)
    if (index[i] != stop.index[i]) return index[i] < stop.index[i];
  return index.size() < stop.index.size() || stop.after;
}

// A member of the JSON being written: its key, where it stands, and what it holds so far.
struct Node {
  Node* parent = nullptr;
  size_t depth = 0;  // nesting of its key; its members are one deeper
  std::string key;
  bool opened = false;     // its key is written (or it is the document)
  bool container = false;  // "{" or "[" is written
  bool array = false;
  size_t members = 0;
  bool hasValue = false;  // a file stored under its very key: the value, unless members come
  FileRef value;
  bool arrayHint = false;  // its key is "" and, should it be its parent's first member, all are ""
};

// A member of a node's members: an entry, and how much of its name the keys above took (npos:
// all of it, the name ends at this node's key: the entry is its value).
struct Member {
  size_t entry;
  size_t pos;
};

// One directory the walk stands in or passed through.
struct Directory {
  Fd fd;  // open only where the walk stands
  dev_t dev = 0;
  ino_t ino = 0;
  std::vector<Entry> entries;
  size_t pathLength = 0;
  std::vector<size_t> index;  // its position in the directories' own order
  bool start = false;         // the pseudo-directory holding the start path alone
};

// The members of a node taken in order: a directory's entries (all of them belong there), or a
// group of entries that share a key (taken from its first member that gives a key; until one
// does, each stays where it stands).
struct Frame {
  Node* node;
  std::unique_ptr<Node> own;  // the group's node
  Directory* dir;
  std::unique_ptr<Directory> ownDir;  // a directory's frame
  std::vector<Member> members;
  std::string lead;  // what a key has before the member's remaining name
  bool all;
  size_t next = 0;
  // The members that share a key with others, by key, each key's in order: views of the names.
  std::vector<std::pair<std::string_view, size_t>> byKey;
  std::string key;     // a group's key, without the lead
  bool tried = false;  // a member was taken since the frame last went on the stack
  // Groups whose first member gave no key: each waits, as far as it got, for its next member.
  std::unordered_map<std::string, std::unique_ptr<Frame>> waiting;
  // Where the search for a later member with a key other than "" stands, and the one found.
  size_t keyedScanned = 0, keyedAt = std::string::npos;
};

// A file entry that gets a key: a regular file, or a link to one inside the tree (`inside`).
// Followed only to look: a dangling link, or one to a directory, a device, a FIFO or a file
// outside the tree gets no key.
bool listedFile(int dir, Entry& e, const std::string& inside) {
  struct stat st;
  if (fstatat(dir, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    const Fd target(openat(dir, e.name.c_str(), O_PATH | O_CLOEXEC));
    std::string where;
    if (target.get() < 0 || fstat(target.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !pathOf(target.get(), where) || where.compare(0, inside.size(), inside) != 0)
      return false;
    e.viaLink = true;
  }
  e.dev = st.st_dev;
  e.ino = st.st_ino;
  return S_ISREG(st.st_mode);
}

std::string joined(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

class Listing {
 public:
  // `out` null: only looks, for a tree that cannot be written and, when `record`, for where a
  // walk in the directories' own order would end (`stop`).
  Listing(JsonOut* out, WalkStop& stop, bool record) : out_(out), stop_(stop), record_(record) {}

  // False when the panel has gone.
  bool run(const std::string& root);
  bool refused() const { return refused_; }

 private:
  void write(const std::string& s) {
    if (out_ != nullptr) out_->text(s);
  }
  static std::string indent(size_t depth) { return std::string(4 * depth, ' '); }
  static std::string quoted(const std::string& s) {
    return '"' + boost::property_tree::json_parser::create_escapes(s) + '"';
  }
  static std::string remaining(const Frame& f, const Member& m) {
    return m.pos == std::string::npos ? std::string() : f.dir->entries[m.entry].name.substr(m.pos);
  }
  // A file whose name ends with the "." before this node: the value of this node once it
  // exists, its member "" before.
  static bool endsWithDot(const Frame& f, const Member& m) {
    const Entry& e = f.dir->entries[m.entry];
    return m.pos == e.name.size() && e.kind != Entry::Dir;
  }
  FileRef fileOf(const Frame& f, const Member& m) const {
    const Entry& e = f.dir->entries[m.entry];
    return FileRef{joined(path_, e.name), e.dev, e.ino, e.viaLink};
  }
  void open(Node& n);
  void close(Node& n);
  bool anyKeyAfter(Frame& f, size_t i);
  bool holdsAFile(Directory& d, const Entry& e);
  void take(Frame& f, size_t i);
  void group(Frame& f, size_t i, const std::string& key);
  void regroup(Frame& f);
  void enter(Frame& f, const Member& m, const std::string& lead);
  void finish();
  void push(Frame&& f);
  void fail(const std::vector<size_t>& index, bool after, int err);

  JsonOut* out_;
  WalkStop& stop_;
  const bool record_;
  bool refused_ = false;
  bool ended_ = false;
  std::string inside_;  // the start directory as the kernel names it, with a final "/"
  std::string path_;    // of the directory the walk stands in
  std::deque<Frame> stack_;
  Node document_;
};

// Writes `n`'s key, and before it whatever above it is still due (each key once its parent's is
// written, then "{" or "[" once the parent is known to hold members). No recursion: a chain of
// keys not yet written may be as deep as the tree.
void Listing::open(Node& n) {
  std::vector<Node*> due;
  for (Node* m = &n; !m->opened; m = m->parent) due.push_back(m);
  for (auto it = due.rbegin(); it != due.rend(); ++it) {
    Node& c = **it;
    Node& p = *c.parent;
    if (!p.container) {
      p.container = true;
      p.array = c.key.empty() && c.arrayHint;
      write(p.array ? "[\n" : "{\n");
    }
    write((p.members++ > 0 ? ",\n" : "") + indent(c.depth) + (p.array ? "" : quoted(c.key) + ": "));
    c.opened = true;
  }
}

void Listing::close(Node& n) {
  if (!n.opened) return;
  if (!n.container) {
    if (out_ != nullptr) out_->digest(n.value);
    return;
  }
  write((n.members > 0 ? "\n" : "") + indent(n.depth) + (n.array ? "]" : "}"));
  // A value and members: refused, unless the value is "" (a file that cannot be read).
  if (n.hasValue && out_ == nullptr && Fd(openListed(n.value)).get() >= 0) refused_ = true;
}

// Whether the directory entry `e` of `d` holds a file that gets a key.
bool Listing::holdsAFile(Directory& d, const Entry& e) {
  struct Finder : TreeVisitor {
    std::string inside;
    bool found = false;
    bool entry(int dir, const std::string& name, size_t) override {
      Entry file;
      file.name = name;
      return !(found = listedFile(dir, file, inside));
    }
  } finder;
  finder.inside = inside_;
  const Fd fd(openat(d.fd.get(), e.name.c_str(), kDirectoryFlags));
  std::string path = joined(path_, e.name);
  if (fd.get() >= 0) walkTree(fd.get(), path, finder);
  return finder.found;
}

// Whether a member of `f` after the `i`th gives its node a member whose key is not "". The
// questions come in order, so each member is looked at once.
bool Listing::anyKeyAfter(Frame& f, size_t i) {
  if (f.keyedAt != std::string::npos && f.keyedAt > i) return true;
  for (size_t j = std::max(f.keyedScanned, i + 1); j < f.members.size(); ++j) {
    f.keyedScanned = j + 1;
    const Member& m = f.members[j];
    const Entry& e = f.dir->entries[m.entry];
    if (e.done || m.pos == std::string::npos || endsWithDot(f, m) || remaining(f, m)[0] == '.') continue;
    if (e.kind == Entry::File || (e.kind == Entry::Dir && holdsAFile(*f.dir, e))) {
      f.keyedAt = j;
      return true;
    }
  }
  return false;
}

// Takes the `i`th member of the frame on top.
void Listing::take(Frame& f, size_t i) {
  const Member m = f.members[i];
  Entry& e = f.dir->entries[m.entry];
  Node& node = *f.node;
  const std::string r = remaining(f, m);
  const size_t dot = r.find('.');
  if (e.kind != Entry::Other && m.pos != std::string::npos &&
      (dot != std::string::npos || e.kind == Entry::File) && !(endsWithDot(f, m) && node.opened)) {
    group(f, i, f.lead + r.substr(0, dot));  // its node takes it
    return;
  }
  e.done = true;
  if (m.pos == std::string::npos || (endsWithDot(f, m) && node.opened)) {
    if (e.kind != Entry::File) return;
    open(node);  // stored again under a key: the last file's value, in the key's first place
    node.hasValue = true;
    node.value = fileOf(f, m);
    return;
  }
  if (e.kind == Entry::Dir) {
    const std::string path = joined(path_, e.name);
    enter(f, m, f.lead + r + (path.back() == '/' ? "" : "/"));
  }
}

// A member of `f` as a member of the node of key `key` below f's.
static Member below(const Frame& f, size_t j) {
  const Member& m = f.members[j];
  const size_t dot = f.dir->entries[m.entry].name.find('.', m.pos == std::string::npos ? 0 : m.pos);
  return {m.entry, m.pos == std::string::npos || dot == std::string::npos ? std::string::npos : dot + 1};
}

// The node `key` below the frame's, from its `i`th member on (that member and the later ones of
// that key), or the group that waits for it.
void Listing::group(Frame& f, size_t i, const std::string& key) {
  const std::string own = key.substr(f.lead.size());
  auto waiting = f.waiting.find(own);
  if (waiting != f.waiting.end() && endsWithDot(f, f.members[i])) {
    f.waiting.erase(waiting);  // it does not hold this member: the group starts afresh
    waiting = f.waiting.end();
  }
  if (waiting != f.waiting.end()) {
    std::unique_ptr<Frame> g = std::move(waiting->second);
    f.waiting.erase(waiting);
    stack_.push_back(std::move(*g));
    stack_.back().tried = false;
    return;
  }
  Frame g;
  g.own.reset(new Node);
  g.node = g.own.get();
  g.node->parent = f.node;
  g.node->depth = f.node->depth + 1;
  g.node->key = key;
  if (key.empty() && !f.node->container) g.node->arrayHint = !anyKeyAfter(f, i);
  g.dir = f.dir;
  g.all = false;
  g.key = own;
  g.members.push_back(below(f, i));
  const auto same =
      std::equal_range(f.byKey.begin(), f.byKey.end(), std::make_pair(std::string_view(own), size_t(0)),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto it = same.first; it != same.second; ++it)
    if (it->second > i && !f.dir->entries[f.members[it->second].entry].done)
      g.members.push_back(below(f, it->second));
  push(std::move(g));
}

// Groups a frame's members by key (a directory without a dot left in its name, and a file whose
// name ended before this node, have none: they are never taken with others).
void Listing::regroup(Frame& f) {
  f.byKey.clear();
  for (size_t j = 0; j < f.members.size(); ++j) {
    const Member& m = f.members[j];
    if (m.pos == std::string::npos || endsWithDot(f, m)) continue;
    const std::string_view r = std::string_view(f.dir->entries[m.entry].name).substr(m.pos);
    const size_t dot = r.find('.');
    if (dot == std::string::npos && f.dir->entries[m.entry].kind == Entry::Dir) continue;
    f.byKey.emplace_back(r.substr(0, dot), j);
  }
  std::stable_sort(f.byKey.begin(), f.byKey.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void Listing::push(Frame&& f) {
  regroup(f);
  stack_.push_back(std::move(f));
}

// Enters the directory entry of member `m`, whose keys continue with `lead`.
void Listing::enter(Frame& f, const Member& m, const std::string& lead) {
  Directory& d = *f.dir;
  const Entry& e = d.entries[m.entry];
  std::unique_ptr<Directory> sub(new Directory);
  sub->index = d.index;
  sub->index.push_back(m.entry);
  sub->fd.reset(d.start ? d.fd.release() : openat(d.fd.get(), e.name.c_str(), kDirectoryFlags));
  if (sub->fd.get() < 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) fail(sub->index, false, errno);
    return;  // gone, or no longer a directory, meanwhile
  }
  struct stat st;
  std::vector<std::string> names;
  std::vector<unsigned char> types;
  if (fstat(sub->fd.get(), &st) != 0 || !readDirectory(sub->fd.get(), names, types)) {
    fail(sub->index, false, errno);
    return;
  }
  sub->dev = st.st_dev;
  sub->ino = st.st_ino;
  sub->pathLength = path_.size();
  path_ = joined(path_, e.name);
  sub->entries.resize(names.size());
  Frame g;
  for (size_t j = 0; j < names.size(); ++j) {
    Entry& c = sub->entries[j];
    c.name = std::move(names[j]);
    std::vector<size_t> index = sub->index;
    index.push_back(j);
    struct stat cs;
    if (!beforeStop(index, stop_)) continue;  // left out: the walk ends before it
    if (types[j] == DT_DIR ||
        (types[j] == DT_UNKNOWN && fstatat(sub->fd.get(), c.name.c_str(), &cs, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(cs.st_mode)))
      c.kind = Entry::Dir;
    else if (listedFile(sub->fd.get(), c, inside_))
      c.kind = Entry::File;
    g.members.push_back({j, 0});
  }
  if (!d.start) d.fd.reset();  // one directory open at a time
  g.node = f.node;
  g.ownDir = std::move(sub);
  g.dir = g.ownDir.get();
  g.lead = lead;
  g.all = true;
  push(std::move(g));
}

// A walk in the directories' own order ends at `index` (before it, or `after` all below it).
void Listing::fail(const std::vector<size_t>& index, bool after, int err) {
  if (record_ && (!stop_.found || std::lexicographical_compare(index.begin(), index.end(),
                                                               stop_.index.begin(), stop_.index.end()))) {
    stop_.index = index;
    stop_.after = after;
    stop_.err = err;
    stop_.found = true;
  }
  if (after || !record_) ended_ = true;  // lost its place, or not where the first walk found it
}

// Ends the frame on top: closes its node, or leaves its directory for the one below.
void Listing::finish() {
  Frame& f = stack_.back();
  if (f.own && !f.node->opened && !ended_) {
    Frame& below = stack_[stack_.size() - 2];
    below.waiting[f.key].reset(new Frame(std::move(f)));
    stack_.pop_back();
    return;
  }
  if (f.own) close(*f.own);
  if (f.ownDir && stack_.size() > 1) {
    Directory& parent = *stack_[stack_.size() - 2].dir;
    if (!parent.start && !ended_) {
      parent.fd.reset(reopenParent(f.ownDir->fd.get(), parent.dev, parent.ino));
      if (parent.fd.get() < 0) fail(f.ownDir->index, true, errno);
    }
    path_.resize(f.ownDir->pathLength);
  }
  stack_.pop_back();
}

bool Listing::run(const std::string& root) {
  std::unique_ptr<Directory> start(new Directory);
  start->fd.reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  document_.opened = document_.container = true;
  write("{\n");
  if (start->fd.get() < 0 || !pathOf(start->fd.get(), inside_)) {
    fail({0}, false, errno);
  } else {
    if (inside_.back() != '/') inside_ += '/';
    start->start = true;
    start->entries.resize(1);
    start->entries[0].name = root;
    start->entries[0].kind = Entry::Dir;
    Frame top;
    top.node = &document_;
    top.ownDir = std::move(start);
    top.dir = top.ownDir.get();
    top.members.push_back({0, 0});
    top.all = true;
    push(std::move(top));
  }
  while (!stack_.empty()) {
    if (peerGone() || (out_ != nullptr && !out_->ok())) return false;
    Frame& f = stack_.back();
    while (f.next < f.members.size() && f.dir->entries[f.members[f.next].entry].done) ++f.next;
    if (ended_ || f.next == f.members.size() || (!f.all && f.tried && !f.node->opened)) {
      finish();
      continue;
    }
    f.tried = true;
    take(f, f.next++);
  }
  write((document_.members > 0 ? "\n" : "") + std::string("}\n"));
  return true;
}

}  // namespace

void directoryMd5Listing(const std::string& root, unsigned workers, ReplyStream& out) {
  WalkStop stop;
  bool refused = false, here = true;
  {
    Listing look(nullptr, stop, true);
    here = look.run(root);
    refused = look.refused();
  }
  if (here && stop.found) {
    Listing again(nullptr, stop, false);
    here = again.run(root);
    refused = again.refused();
  }
  if (here && stop.found) Log("There was a problem with directorymd5: " + root + ": " + strerror(stop.err));
  if (here && refused)
    throw boost::property_tree::json_parser_error(
        "ptree contains data that cannot be represented in JSON format", std::string(), 0);
  JsonOut json(out, workers);
  if (here) {
    Listing writing(&json, stop, false);
    here = writing.run(root);
  }
  if (here && json.flush()) {
    out.finish("");
    return;
  }
  if (peerGone()) Log_warn("%s", kPeerGoneWarning);
  out.abandon();
}

std::string directoryMd5Json(const std::string& root, unsigned workers) {
  CollectedReply reply;
  directoryMd5Listing(root, workers, reply);
  return reply.text;
}

std::string directoryMd5(std::vector<std::string>& strlines, std::string&, std::string&) {
  return directoryMd5Json(arg(strlines, 1), std::thread::hardware_concurrency());
}

void streamDirectoryMd5(std::vector<std::string>& strlines, std::string&, ReplyStream& out) {
  directoryMd5Listing(arg(strlines, 1), std::thread::hardware_concurrency(), out);
}
