// Identity-bound file operations and the protected paths: which paths no removal may delete
// (checkRemove) and the removal of a directory tree (removeDirectory, walk callback unlink_cb).
// The removal functions make plain system calls only and never log, so they may run in a
// forked child; they hand any warning back to their caller, who logs it.
#ifndef KADREL_HANDLERS_FILES_H
#define KADREL_HANDLERS_FILES_H

#include <ftw.h>
#include <sys/stat.h>

#include <string>

// The form of `path` that the protected paths are compared with: a relative path taken from
// the working directory, the parent directory resolved by the kernel (links, ".", ".." and
// repeated slashes), the last component appended without following it, trailing slashes
// dropped. A last component "." or ".." is resolved with its parent. The empty path stays
// empty. False when the parent cannot be resolved (missing, not searchable, too long).
bool normalisedRemovalPath(const std::string& path, std::string& normal);

// 1 when `dirname` may be removed, 0 when its normalised form is one of the protected paths
// (compared without regard to letter case) or cannot be formed. Only the protected paths
// themselves are refused, not what lies below them.
int checkRemove(const char* dirname);

// Removes the tree at `path` depth-first (contents before their directory) without following
// symbolic links, skipping protected entries; a start path that is a link removes only the
// link (trailing slashes of the start path are dropped first). Returns what nftw returns: 0
// when the walk finished, -1 when it could not start (errno tells why) or stopped on an entry
// it could not remove. In that last case `warning` receives the text to log at warning level
// ("There was a problem with removeDirectory() 1"); otherwise it is left empty.
// Safe to call from several threads at once and in a forked child.
int removeDirectory(const std::string& path, std::string& warning);

// The walk callback of removeDirectory: removes `fpath` unless it is protected. 0 lets the
// walk go on; the failing remove's result stops it.
int unlink_cb(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftwbuf);

#endif
