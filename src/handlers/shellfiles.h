// Shell-backed file instructions: "isfile", "isdir", "mkdir", "copydir", "copyfile",
// "downloadfile", "filelist", "filelist2", "filesize" and "extract". Each composes one command
// line into `cmddo` for the dispatcher to run as the acting account; every path, file name and
// URL goes in as one quoted word, after "--" where the program accepts it.
#ifndef KADREL_HANDLERS_SHELLFILES_H
#define KADREL_HANDLERS_SHELLFILES_H

#include <string>
#include <vector>

std::string isFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string isDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string makeDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Refuses (composes nothing) an empty source and one that names the root directory, relative
// ones taken from where the command runs: "<source>/*" would copy every top-level directory.
std::string copyDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string copyFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Refuses (composes nothing) a URL that starts with "-": the template puts the URL before
// "-O", so "--" cannot end wget's options there, and such a word would be read as an option.
std::string downloadFile(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string fileList(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string fileList2(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string fileSize(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Replies "Archive is not found" when the agent itself (as root, from its start directory)
// cannot stat element 4; otherwise composes the unpack line and replies nothing.
std::string extractArchive(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
