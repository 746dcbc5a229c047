// "directorymd5": the MD5 digest of every regular file below a directory, answered as one JSON
// document keyed by the files' paths (each "." of a path starts a nesting level). Runs in the
// agent itself, as root; files are hashed on all cores, the reply is what one walk in
// directory order gives. Safe to call from any number of threads at once.
#ifndef KADREL_HANDLERS_DIRECTORYMD5_H
#define KADREL_HANDLERS_DIRECTORYMD5_H

#include <string>
#include <vector>

std::string directoryMd5(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// The JSON listing of `root`, hashing with `workers` threads (the calling thread included; 0
// or 1: everything on the calling thread). Members in walk order whatever `workers` is.
// The walk runs as root in a tree an account controls: it never enters a directory through a
// link, and a link to a regular file is digested only when the file lies inside `root` itself.
// Entries that are not regular files (directories, devices, FIFOs, sockets, links to any of
// these, dangling links, links out of the tree) get no key and are never opened; a regular file
// that cannot be opened, or is no longer the file the walk found, gets "". A walk error ends the
// walk (the agent logs why); the files listed before it stay. When the current
// PeerWatch says the panel has gone, the work stops and the answer is empty. Throws the JSON
// writer's error for a tree it cannot represent.
std::string directoryMd5Json(const std::string& root, unsigned workers);

#endif
