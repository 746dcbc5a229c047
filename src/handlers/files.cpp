// Protected paths and tree removal.
#include "handlers/files.h"

#include <cstdio>
#include <cstdlib>

#include "core/Settings.h"

// The paths no removal deletes, in the order they are compared.
static const char* const kProtectedPaths[] = {"",     "/",    "/home", "/bin",  "/etc",  "/usr", "/sys",
                                              "/tmp", "/var", "/sbin", "/root", "/boot", "/lib"};

// The kernel's view of `path`: links, ".", ".." and repeated slashes resolved.
static bool resolved(const std::string& path, std::string& out) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return false;
  out = real;
  free(real);
  return true;
}

bool normalisedRemovalPath(const std::string& path, std::string& normal) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) {
    normal.clear();
    return true;
  }
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) {
    if (p == "." || p == "..") return resolved(p, normal);
    if (!resolved(".", normal)) return false;
  } else {
    const std::string last = p.substr(slash + 1);
    // "/" itself, or a last component that names a directory by its relation to the parent.
    if (last.empty() || last == "." || last == "..") return resolved(p, normal);
    if (!resolved(slash == 0 ? "/" : p.substr(0, slash), normal)) return false;
    p = last;
  }
  if (normal != "/") normal += '/';
  normal += p;
  return true;
}

int checkRemove(const char* dirname) {
  std::string normal;
  if (dirname == nullptr || !normalisedRemovalPath(dirname, normal)) return 0;
  for (const char* protectedPath : kProtectedPaths) {
    if (iequals(normal, protectedPath)) return 0;
  }
  return 1;
}

// Where the walk of the current thread reports that it stopped (nftw passes no context).
static thread_local std::string* walk_warning = nullptr;

int unlink_cb(const char* fpath, const struct stat*, int, struct FTW*) {
  if (checkRemove(fpath) != 1) return 0;
  const int rv = remove(fpath);
  if (rv != 0 && walk_warning != nullptr) *walk_warning = "There was a problem with removeDirectory() 1";
  return rv;
}

int removeDirectory(const std::string& path, std::string& warning) {
  std::string start = path;
  // "link/" would make the walk follow the link to its target.
  while (start.size() > 1 && start.back() == '/') start.pop_back();
  warning.clear();
  std::string* outer = walk_warning;
  walk_warning = &warning;
  const int rv = nftw(start.c_str(), unlink_cb, 64, FTW_DEPTH | FTW_PHYS);
  walk_warning = outer;
  return rv;
}
