// The file operations, protected paths and tree removal.
#include "handlers/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "core/Settings.h"
#include "exec/Child.h"
#include "exec/CommandRunner.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/PeerWatch.h"
#include "exec/TreeWalk.h"

// The paths no removal deletes, in the order they are compared.
static const char* const kProtectedPaths[] = {"",     "/",    "/home", "/bin",  "/etc",  "/usr", "/sys",
                                              "/tmp", "/var", "/sbin", "/root", "/boot", "/lib"};

// The kernel's view of `path`: links, ".", ".." and repeated slashes resolved.
static Result resolved(const std::string& path, std::string& out) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return Result::Failure("realpath()", errno);
  out = real;
  free(real);
  return Result();
}

Result normalisedRemovalPath(const std::string& path, std::string& normal) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) {
    normal.clear();
    return Result();
  }
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) {
    if (p == "." || p == "..") return resolved(p, normal);
    if (const Result here = resolved(".", normal); !here) return here;
  } else {
    const std::string last = p.substr(slash + 1);
    // "/" itself, or a last component that names a directory by its relation to the parent.
    if (last.empty() || last == "." || last == "..") return resolved(p, normal);
    if (const Result parent = resolved(slash == 0 ? "/" : p.substr(0, slash), normal); !parent) return parent;
    p = last;
  }
  if (normal != "/") normal += '/';
  normal += p;
  return Result();
}

// `normal` (a normalised path) is one of the protected paths.
static bool isProtected(const std::string& normal) {
  for (const char* protectedPath : kProtectedPaths) {
    if (iequals(normal, protectedPath)) return true;
  }
  return false;
}

Result checkRemove(const char* dirname) {
  std::string normal;
  if (dirname == nullptr) return Result::Failure("no path");
  if (const Result normalised = normalisedRemovalPath(dirname, normal); !normalised) return normalised;
  return isProtected(normal) ? Result::Failure("a protected path") : Result();
}

static const char kRemovalWarning[] = "There was a problem with removeDirectory() 1";

namespace {

// Removes what the walk meets, contents before their directory. Only the entries of a start
// directory that is "/" itself can be protected paths: every protected path has one component.
class Remover : public TreeVisitor {
 public:
  explicit Remover(bool startIsRoot) : startIsRoot_(startIsRoot) {}

  bool entry(int dir, const std::string& name, size_t depth) override { return remove(dir, name, depth, 0); }
  bool leftDirectory(int dir, const std::string& name, size_t depth) override {
    return remove(dir, name, depth, AT_REMOVEDIR);
  }

 private:
  bool remove(int dir, const std::string& name, size_t depth, int flags) const {
    if (depth == 1 && startIsRoot_ && isProtected("/" + name)) return true;
    return unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT;
  }
  bool startIsRoot_;
};

}  // namespace

Result removeDirectory(const std::string& path) {
  std::string start = path;
  // "link/" would name the link's target.
  while (start.size() > 1 && start.back() == '/') start.pop_back();
  if (start.empty() || start.find('\0') != std::string::npos) return Result();  // a NUL: its own prefix

  const size_t slash = start.rfind('/');
  const std::string parentPath = slash == std::string::npos ? "." : slash == 0 ? "/" : start.substr(0, slash);
  const std::string name = slash == std::string::npos ? start : start.substr(slash + 1);
  // "/", "." and "..": the directory itself is never removed, only what lies below it.
  const bool keepStart = name.empty() || name == "." || name == ".." || !checkRemove(start.c_str());
  Fd parent(open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (parent.get() < 0 ||
      fstatat(parent.get(), name.empty() ? "/" : name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Nothing there is nothing left; a path that cannot be looked at may still hold a tree.
    if (errno == ENOENT || errno == ENOTDIR) return Result();
    return Result::Failure(kRemovalWarning, errno);
  }
  bool removed;
  Fd dir(name.empty() ? open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                      : openat(parent.get(), name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (dir.get() < 0) {
    // Not a directory (a link included): removed as it is.
    removed = (errno == ENOTDIR || errno == ELOOP) &&
              (keepStart || unlinkat(parent.get(), name.c_str(), 0) == 0 || errno == ENOENT);
  } else {
    std::string normal;
    Remover remover(normalisedRemovalPath(start, normal) && normal == "/");
    std::string walked = start;
    const WalkEnd end = walkTree(dir.get(), walked, remover);
    if (end == WalkEnd::PeerGone) return Result::Failure(kPeerGoneWarning);
    dir.reset();
    removed = end == WalkEnd::Done &&
              (keepStart || unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT);
  }
  return removed ? Result() : Result::Failure(kRemovalWarning);
}

// The path for system calls. One with a NUL byte in it would name its own prefix, another
// file: it names nothing instead ("" is never a file).
static const char* pathOf(const std::string& path) {
  return path.find('\0') == std::string::npos ? path.c_str() : "";
}

// Runs one operation's work in a child as `user`, handing the text it forms to `sink` as it
// comes. The work's exceptions are caught in the child: logged by the parent as "There was a
// problem with <what>: ..." and answered with `failed`.
static ChildStatus runOperationTo(const std::string& user, const char* what, const char* failed,
                                  const std::function<std::string(WorkOutput&)>& work,
                                  const ReplySink& sink) {
  return runWorkAs(
      user,
      [&](WorkOutput& out) {
        std::string result;
        try {
          result = work(out);
        } catch (const std::exception& e) {
          out.warn(std::string("There was a problem with ") + what + ": " + e.what());
          result = failed;
        }
        out.append(result);
      },
      sink);
}

// runOperationTo with the text collected: the reply, or "Failed" when no child at all could be
// started (pipe or fork failed).
static std::string runOperation(const std::string& user, const char* what, const char* failed,
                                const std::function<std::string(WorkOutput&)>& work) {
  std::string reply;
  const ChildStatus status = runOperationTo(user, what, failed, work, [&](const char* data, size_t n) {
    reply.append(data, n);
    return true;
  });
  if (status == ChildStatus::StartFailed) return "Failed";
  return status == ChildStatus::Ran ? reply : std::string();
}

static std::atomic<bool> read_failure{false};

void setReadFailureForTesting(bool fails) { read_failure.store(fails); }

// readfile's work in the child: the file's bytes, then the line feed that ends the reply.
static std::string readRegularFile(const std::string& file, WorkOutput& out) {
  // Not blocking: a FIFO without a writer would hold the child, and the agent's thread, for
  // ever. Only a regular file is read: a device may never end (/dev/zero), a FIFO or a socket may
  // never answer.
  const Fd fd(open(pathOf(file), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return std::string();
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out.warn("There was a problem with readFile: not a regular file");
    return std::string();
  }
  // Every line is followed by a line feed and the end of the file by one more, so the reply is
  // the bytes as they are plus one line feed.
  char buf[65536];
  bool any = false;
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (any && read_failure.load(std::memory_order_relaxed)) {
      n = -1;
      errno = EIO;
    }
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.warn(std::string("There was a problem with readFile: ") + strerror(errno));
      if (!any) return std::string();
      // Part of the file has gone to the parent already: ending without the done mark makes it
      // abandon the reply rather than finish a cut file.
      out.flush();
      _exit(1);
    }
    out.append(buf, static_cast<size_t>(n));
    any = true;
  }
  return "\n";
}

void readfile(const std::string& user, const std::string& file, ReplyStream& reply) {
  bool started = false;
  const ChildStatus status = runOperationTo(
      user, "readFile", "", [&](WorkOutput& out) { return readRegularFile(file, out); },
      [&](const char* data, size_t n) {
        started = true;
        return reply.send(data, n);
      });
  if (status == ChildStatus::StartFailed)
    reply.finish("Failed");
  else if (status == ChildStatus::Ran && started)
    reply.finish("");
  else if (started)
    reply.abandon();
}

std::string readfile(const std::string& user, const std::string& file) {
  CollectedReply reply;
  readfile(user, file, reply);
  return reply.text;
}

std::string writeFile(const std::string& user, const std::string& file, const std::string& contents) {
  // The owner is looked up here: the child makes plain system calls only.
  AccountContext owner;
  const bool known = LookupAccount(user, owner);
  return runOperation(user, "writefile", "Failed", [&](WorkOutput& out) -> std::string {
    // Not blocking, and only into a regular file: a FIFO would hold the child (without a
    // reader it is refused here at once), a device or socket is not a file to create.
    const int fd = open(pathOf(file), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      out.log("Cannot open output file");
      return "Failed";
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      out.warn("There was a problem with writefile: not a regular file");
      return "Failed";
    }
    int err = writeAll(fd, contents.data(), contents.size()).err();
    if (known && fchown(fd, owner.uid, owner.gid) != 0) out.warn("chown() error");
    // A full device or a remote file system may report the failure only here.
    if (close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
      out.warn(std::string("There was a problem with writefile: ") + strerror(err));
      return "Failed";
    }
    return "Created";
  });
}

std::string deletefile(const std::string& user, const std::string& file) {
  return runOperation(user, "deletefile", "Failed", [&](WorkOutput&) -> std::string {
    struct stat st;
    if (stat(pathOf(file), &st) != 0 || !checkRemove(pathOf(file))) return "File not found";
    return remove(pathOf(file)) == 0 ? "File deleted" : "Error deleting file";
  });
}

std::string renamefile(const std::string& user, const std::string& file, const std::string& fileb) {
  return runOperation(user, "renamefile", "Failed", [&](WorkOutput&) -> std::string {
    return rename(pathOf(file), pathOf(fileb)) == 0 ? "File renamed" : "Error renaming file";
  });
}

std::string movedir(const std::string& user, const std::string& file, const std::string& fileb) {
  return runOperation(user, "movedir", "Failed", [&](WorkOutput&) -> std::string {
    return rename(pathOf(file), pathOf(fileb)) == 0 ? "Directory moved" : "Error moving rirectory";
  });
}

std::string deldir(const std::string& user, const std::string& file) {
  return runOperation(user, "deldir", "Failed", [&](WorkOutput& out) -> std::string {
    const Result removed = removeDirectory(file);
    if (removed) return "Directory removed";
    out.warn(removed.text());
    return "Failed";
  });
}

std::string insReadFile(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return readfile(user, arg(strlines, 1));
}
void streamReadFile(std::vector<std::string>& strlines, std::string& user, ReplyStream& out) {
  readfile(user, arg(strlines, 1), out);
}
std::string insWriteFile(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return writeFile(user, arg(strlines, 1), arg(strlines, 2));
}
std::string insDeleteFile(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return deletefile(user, arg(strlines, 1));
}
std::string insRenameFile(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return renamefile(user, arg(strlines, 1), arg(strlines, 2));
}
std::string insMoveDir(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return movedir(user, arg(strlines, 1), arg(strlines, 2));
}
std::string insDelDir(std::vector<std::string>& strlines, std::string& user, std::string&) {
  return deldir(user, arg(strlines, 1));
}
