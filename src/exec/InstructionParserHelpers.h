// Small helpers shared by the dispatcher and the handlers: splitting, trimming, reading an
// argument that may be missing, and the agent's own directory.
#ifndef KADREL_EXEC_INSTRUCTIONPARSERHELPERS_H
#define KADREL_EXEC_INSTRUCTIONPARSERHELPERS_H

#include <string>
#include <vector>

// Splits `str` at every occurrence of `delimiter`, keeping empty pieces. An empty delimiter
// gives an empty vector; an empty string gives one empty piece. The largest piece keeps the
// buffer of `str`: an instruction moved in holds a large file's contents once, never twice.
std::vector<std::string> explode(const std::string& delimiter, std::string str);

// Removes leading and trailing white space in place and returns `str`.
std::string& trim(std::string& str);

// Element `i` of an argument vector, or an empty string when the instruction has fewer.
const std::string& arg(const std::vector<std::string>& strlines, size_t i);

// The account name rule of every account instruction: true for a name that no program reads
// as an option and that the agent may turn into a path it creates or removes as root ("/home/%s"):
// not empty, not "." or "..", not starting with "-", only ASCII letters, digits, ".", "_", "-".
bool validAccountName(const std::string& name);

// The agent's working directory (the start directory). False when it cannot be determined.
bool agentDirectory(std::string& dir);

#endif
