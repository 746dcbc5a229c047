// The one walk that root makes through a tree an account controls (removals; the checksum
// listing takes its pieces, in an order of its own): every step is taken relative to a directory
// descriptor, and a directory is entered only through a descriptor opened without following a
// link, so an entry swapped for a link while the walk runs is met as that link, never walked
// through. One directory is held open at a time: a parent is closed on the way down and opened
// again by ".." on the way up, checked to be the same directory. An explicit stack, time linear
// in the entries, no depth bound. Between entries the walk asks the current thread's PeerWatch
// and stops once the peer has gone. Plain system calls only (no logging): usable in a forked
// child. Safe on any thread.
#ifndef KADREL_EXEC_TREEWALK_H
#define KADREL_EXEC_TREEWALK_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // An entry `name` of the directory open as `dir` that the walk does not enter: anything but a
  // directory (a link to one included). `depth` is 1 for the entries of the start directory.
  // False stops the walk (WalkEnd::Failed).
  virtual bool entry(int dir, const std::string& name, size_t depth) = 0;
  // After everything below the subdirectory `name` of `dir` was visited. False stops the walk.
  virtual bool leftDirectory(int dir, const std::string& name, size_t depth) {
    (void)dir, (void)name, (void)depth;
    return true;
  }
};

enum class WalkEnd {
  Done,
  Failed,    // the visitor said stop, a directory could not be read, or it moved during the walk
  PeerGone,  // the current PeerWatch says that the panel has gone
};

// Walks everything below the directory open as `start` (the descriptor stays the caller's),
// depth first, each directory's entries in the order it lists them, a subdirectory entered where
// it is met. `path` names the start directory on entry; while the visitor runs it names the
// entry visited (each name joined with "/"), and it is the start's again on return.
WalkEnd walkTree(int start, std::string& path, TreeVisitor& visitor);

// The pieces of the walk, for a walk that takes a directory's entries in an order of its own
// (the checksum listing): how a subdirectory is opened (never through a link; a FIFO or device
// is not opened at all), a directory's entries ("." and ".." left out) in the order it lists them
// with their d_type (the descriptor stays the caller's), and the parent of `dir` opened again,
// -1 unless it is the directory (dev, ino) the walk left.
extern const int kDirectoryFlags;
bool readDirectory(int fd, std::vector<std::string>& names, std::vector<unsigned char>& types);
int reopenParent(int dir, dev_t dev, ino_t ino);

// Test seam: called with a directory's path once the walk holds it open, before its entries are
// visited (tests swap entries for links there). Nothing in the agent sets it.
void setWalkHookForTesting(void (*hook)(const std::string& directory));

#endif
