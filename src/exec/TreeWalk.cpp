// The descriptor-relative walk.
#include "exec/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "exec/Descriptors.h"
#include "exec/PeerWatch.h"

namespace {

// One directory on the way down: which one it is, its entries, and how far the walk got.
struct Frame {
  dev_t dev;
  ino_t ino;
  std::vector<std::string> names;
  std::vector<unsigned char> types;  // d_type of each name
  size_t next = 0;
  size_t pathLength;  // of the directory's own path
};

// Reads every entry of the directory open as `fd` into `frame` (the descriptor stays open).
bool readEntries(int fd, Frame& frame) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  frame.dev = st.st_dev;
  frame.ino = st.st_ino;
  return readDirectory(fd, frame.names, frame.types);
}

void joinName(std::string& path, size_t length, const std::string& name) {
  path.resize(length);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
}

void (*walk_hook)(const std::string&) = nullptr;

}  // namespace

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool readDirectory(int fd, std::vector<std::string>& names, std::vector<unsigned char>& types) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
    types.push_back(e->d_type);
  }
  closedir(dir);
  return ok;
}

int reopenParent(int dir, dev_t dev, ino_t ino) {
  Fd up(openat(dir, "..", kDirectoryFlags));
  struct stat st;
  if (up.get() < 0 || fstat(up.get(), &st) != 0 || st.st_dev != dev || st.st_ino != ino) return -1;
  return up.release();
}

void setWalkHookForTesting(void (*hook)(const std::string&)) { walk_hook = hook; }

WalkEnd walkTree(int start, std::string& path, TreeVisitor& visitor) {
  const std::string startPath = path;
  std::vector<Frame> stack(1);
  stack[0].pathLength = path.size();
  if (!readEntries(start, stack[0])) return WalkEnd::Failed;
  // The directory the walk stands in; the start descriptor is the caller's and is never closed.
  Fd owned;
  int here = start;
  WalkEnd end = WalkEnd::Done;
  while (end == WalkEnd::Done) {
    if (peerGone()) {
      end = WalkEnd::PeerGone;
      break;
    }
    Frame& frame = stack.back();
    if (frame.next < frame.names.size()) {
      const size_t i = frame.next++;
      const std::string& name = frame.names[i];
      joinName(path, frame.pathLength, name);
      const unsigned char type = frame.types[i];
      int fd = -1;
      if (type == DT_DIR || type == DT_UNKNOWN) {
        fd = openat(here, name.c_str(), kDirectoryFlags);
        if (fd < 0 && errno == ENOENT) continue;  // gone meanwhile
        if (fd < 0 && errno != ENOTDIR && errno != ELOOP) {
          end = WalkEnd::Failed;
          break;
        }
      }
      if (fd < 0) {
        if (!visitor.entry(here, name, stack.size())) end = WalkEnd::Failed;
        continue;
      }
      Fd child(fd);
      Frame next;
      next.pathLength = path.size();
      if (!readEntries(child.get(), next)) {
        end = WalkEnd::Failed;
        break;
      }
      stack.push_back(std::move(next));
      owned.reset(child.release());  // closes the parent
      here = owned.get();
      if (walk_hook != nullptr) walk_hook(path);
      continue;
    }
    if (stack.size() == 1) break;
    // Back up: the parent is opened again from here and must be the directory left.
    const Frame& parent = stack[stack.size() - 2];
    Fd up(reopenParent(here, parent.dev, parent.ino));
    if (up.get() < 0) {
      end = WalkEnd::Failed;
      break;
    }
    const std::string name = parent.names[parent.next - 1];
    stack.pop_back();
    if (stack.size() == 1) {
      owned.reset();
      here = start;
    } else {
      owned.reset(up.release());
      here = owned.get();
    }
    path.resize(stack.back().pathLength);
    if (!visitor.leftDirectory(here, name, stack.size())) end = WalkEnd::Failed;
  }
  path = startPath;
  return end;
}
