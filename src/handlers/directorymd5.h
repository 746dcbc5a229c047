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
// Entries that are not regular files once links are followed (directories, devices, FIFOs,
// sockets, dangling links) get no key and are never opened; a regular file that cannot be
// opened gets "". A walk error ends the walk (its text goes to standard output); the files
// listed before it stay. Throws the JSON writer's error for a tree it cannot represent.
std::string directoryMd5Json(const std::string& root, unsigned workers);

#endif
