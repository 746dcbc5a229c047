// "directorymd5": the MD5 digest of every regular file below a directory, answered as one JSON
// document keyed by the files' paths (each "." of a path starts a nesting level). Runs in the
// agent itself, as root; files are hashed on all cores, the reply is what a property tree filled
// in one walk in directory order would give, written as the walk goes. Safe to call from any
// number of threads at once.
#ifndef KADREL_HANDLERS_DIRECTORYMD5_H
#define KADREL_HANDLERS_DIRECTORYMD5_H

#include <string>
#include <vector>

class ReplyStream;

std::string directoryMd5(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
void streamDirectoryMd5(std::vector<std::string>& strlines, std::string& user, ReplyStream& out);

// The JSON listing of `root` sent to `out` as the walk goes (then "" and the end of the reply),
// hashing with `workers` threads, at most 8 (the calling thread included; 0 or 1: everything on
// the calling thread). Root's memory holds the names of the directories on the way (each read
// whole), never the tree's files or the document. The walk runs as root in a tree an account
// controls: it never enters a directory through a link, and a link to a regular file is
// digested only when the file lies inside `root` itself. Entries that are not regular files
// (directories, devices, FIFOs, sockets, links to any of these, dangling links, links out of
// the tree) get no key and are never opened; a regular file that cannot be opened, or is no
// longer the file the walk found, gets "". A directory that cannot be read ends the listing
// where a walk in the directories' own order would end (its text is logged); the files before
// stay. When the current PeerWatch says the panel has gone, the work stops and the reply is
// abandoned. Throws the JSON writer's error, before anything is sent, for a tree a property tree
// cannot write as JSON (a value and members under one key).
void directoryMd5Listing(const std::string& root, unsigned workers, ReplyStream& out);
// The same, collected.
std::string directoryMd5Json(const std::string& root, unsigned workers);

#endif
