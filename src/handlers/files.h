// Identity-bound file operations ("readfile", "writefile", "deletefile", "renamefile",
// "movedir", "deldir"), each done in a child that has become the acting account, and the
// protected paths: which paths no removal may delete (checkRemove) and the removal of a
// directory tree (removeDirectory, walk callback unlink_cb). The removal functions make plain
// system calls only and never log, so they may run in a forked child; they hand any warning
// back to their caller, who logs it. Every operation may run on any thread.
#ifndef KADREL_HANDLERS_FILES_H
#define KADREL_HANDLERS_FILES_H

#include <ftw.h>
#include <sys/stat.h>

#include <string>
#include <vector>

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

// removeDirectory for the agent's own removals as root in trees an account can write (its
// home, its screen directories): the same result, but every step is taken relative to a
// directory descriptor opened without following links, so an entry the account swaps for a
// link while the walk runs is removed as that link, never through it. Protected entries are
// skipped as in removeDirectory. 0 when the tree is gone; -1 when the start path does not
// exist (`warning` empty), or with `warning` set when an entry could not be removed or the tree
// is deeper than kMaxRemovalDepth directories. Makes no path-based removal and never changes directory, so it
// is safe on any thread of the agent.
const int kMaxRemovalDepth = 256;
int removeTreeNoFollow(const std::string& path, std::string& warning);

// Test seam: called with each directory's path once removeTreeNoFollow holds it open, before
// its entries are removed (tests swap entries for links there). Nothing in the agent sets it.
void setRemovalHookForTesting(void (*hook)(const std::string& directory));

// The walk callback of removeDirectory: removes `fpath` unless it is protected. 0 lets the
// walk go on; the failing remove's result stops it.
int unlink_cb(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftwbuf);

// The operations. Each answers with the text its child formed; "Failed" when no child could be
// started; empty when the account is unknown or could not be taken on.

class ReplyStream;

// The file's bytes followed by one line feed (every line of it followed by a line feed, and
// one more after a final line feed), sent to `reply` as they are read, so that no file of any
// size is held. Nothing at all when it cannot be opened or is not a regular file (a device,
// FIFO or socket is never read: it may never end or never answer). A read error after part of
// the file went out abandons the reply.
void readfile(const std::string& user, const std::string& file, ReplyStream& reply);
// The same, collected into a string (empty for nothing).
std::string readfile(const std::string& user, const std::string& file);
// Creates or truncates `file`, writes `contents` whole and hands the file to the account:
// "Created", or "Failed" when it could not be opened or written, or is not a regular file.
std::string writeFile(const std::string& user, const std::string& file, const std::string& contents);
// Removes one file, link or empty directory: "File deleted", "Error deleting file", or "File
// not found" (also for a protected path).
std::string deletefile(const std::string& user, const std::string& file);
// rename(): "File renamed" / "Error renaming file"; "Directory moved" / "Error moving rirectory".
std::string renamefile(const std::string& user, const std::string& file, const std::string& fileb);
std::string movedir(const std::string& user, const std::string& file, const std::string& fileb);
// removeDirectory(): "Directory removed", or "Failed" when the walk stopped on an entry it
// could not remove.
std::string deldir(const std::string& user, const std::string& file);

// The instructions, arguments as listed above after the name.
std::string insReadFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
void streamReadFile(std::vector<std::string>& strlines, std::string& user, ReplyStream& out);
std::string insWriteFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string insDeleteFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string insRenameFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string insMoveDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string insDelDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
