// Identity-bound file operations ("readfile", "writefile", "deletefile", "renamefile",
// "movedir", "deldir"), each done in a child that has become the acting account, and the
// protected paths: which paths no removal may delete (checkRemove) and the removal of a
// directory tree (removeDirectory). The removal functions make plain system calls only and
// never log, so they may run in a forked child; they hand any warning back to their caller, who
// logs it. Every operation may run on any thread.
#ifndef KADREL_HANDLERS_FILES_H
#define KADREL_HANDLERS_FILES_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/Result.h"

// The form of `path` that the protected paths are compared with: a relative path taken from
// the working directory, the parent directory resolved by the kernel (links, ".", ".." and
// repeated slashes), the last component appended without following it, trailing slashes
// dropped. A last component "." or ".." is resolved with its parent. The empty path stays
// empty. A failure ("realpath()" and its errno) when the parent cannot be resolved (missing,
// not searchable, too long).
Result normalisedRemovalPath(const std::string& path, std::string& normal);

// Success when `dirname` may be removed; a failure when its normalised form is one of the
// protected paths (compared without regard to letter case) or cannot be formed. Only the
// protected paths themselves are refused, not what lies below them.
Result checkRemove(const char* dirname);

// Removes the tree at `path`, contents before their directory, in time linear in its entries
// and however deep it is. Every step is taken relative to a directory descriptor opened without
// following links (see TreeWalk.h), so a link is removed, never followed, and an entry swapped for
// a link while the walk runs is removed as that link; a start path that is a link removes only
// the link (trailing slashes are dropped first). Protected entries are skipped; their contents
// go. Success when nothing is left, a start path that does not exist included. Otherwise a
// failure whose text is the warning to log: "There was a problem with removeDirectory() 1"
// (the start path could not be looked at, an entry could not be removed or the tree moved
// under the walk; the walk stops there) or kPeerGoneWarning (the panel has gone).
// Never changes directory: safe on any thread of the agent and in a forked child.
Result removeDirectory(const std::string& path);

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
// Test seam: while set, every read after readfile's first block fails (EIO), as a failing disk
// would. Nothing in the agent sets it.
void setReadFailureForTesting(bool fails);
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
