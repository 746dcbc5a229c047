// Shell-backed file instructions.
#include "handlers/shellfiles.h"

#include <sys/stat.h>

#include <filesystem>

#include "core/Log.h"
#include "exec/Identity.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/ShellLine.h"

// A data word that follows the end of the program's options, so that a path starting with
// "-" stays a path.
static std::string afterOptions(const std::string& value) { return "-- " + shellQuote(value); }

std::string isFile(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("if [ -f %s ] ; then echo valid; fi", {shellQuote(arg(strlines, 1))});
  return std::string();
}

std::string isDir(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("if [ -d %s ] ; then echo valid; fi", {shellQuote(arg(strlines, 1))});
  return std::string();
}

std::string makeDir(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("mkdir -p %s", {afterOptions(arg(strlines, 1))});
  return std::string();
}

// True when `source`, taken in the directory the command runs in (the account's home, the
// agent's start directory for root), names the root directory ("", "/", "//", "/.", "/home/..",
// "../.." from a home, ...): "<source>/*" then expands to every top-level directory of the host.
static bool namesRootDirectory(const std::string& source, const std::string& user) {
  if (source.empty()) return true;
  std::filesystem::path path(source);
  if (path.is_relative()) {
    std::string base;
    if (isRootUser(user)) {
      if (!agentDirectory(base)) return true;  // unknown: refuse rather than guess
    } else {
      base = "/home/" + user;
    }
    path = std::filesystem::path(base) / path;
  }
  return path.lexically_normal().string().find_first_not_of('/') == std::string::npos;
}

std::string copyDir(std::vector<std::string>& strlines, std::string& user, std::string& cmddo) {
  const std::string& source = arg(strlines, 1);
  if (namesRootDirectory(source, user)) {
    Log_warn("There was a problem with copydir: the source names the root directory; nothing was copied");
    return std::string();
  }
  // The glob stays outside the quotes: the quoted source, then /*.
  cmddo = composeLine("cp -R %s/* %s", {afterOptions(source), shellQuote(arg(strlines, 2))});
  return std::string();
}

std::string copyFile(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("cp %s %s", {afterOptions(arg(strlines, 1)), shellQuote(arg(strlines, 2))});
  return std::string();
}

std::string downloadFile(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  const std::string& url = arg(strlines, 1);
  if (!url.empty() && url[0] == '-') {
    Log_warn("There was a problem with downloadfile: a URL may not start with \"-\"");
    return std::string();
  }
  // The target is the argument of -O, which wget takes as a name whatever it starts with.
  cmddo =
      composeLine("wget --no-check-certificate %s -O %s", {shellQuote(url), shellQuote(arg(strlines, 2))});
  return std::string();
}

std::string fileList(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("ls -x1 %s", {afterOptions(arg(strlines, 1))});
  return std::string();
}

std::string fileList2(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("ls -sXhx1la --time-style iso %s", {afterOptions(arg(strlines, 1))});
  return std::string();
}

std::string fileSize(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = composeLine("du -b %s", {afterOptions(arg(strlines, 1))});
  return std::string();
}

std::string extractArchive(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  const std::string& archive = arg(strlines, 4);
  struct stat st;
  if (stat(archive.c_str(), &st) != 0) return "Archive is not found";
  // Element 3 is the panel's unpack command (an archiver and its options): shell text by
  // design. No "--" before the archive: the command's last option may take it as its value
  // ("tar xzf").
  cmddo = composeLine("cd /home/%s/ ; %s %s > /dev/null",
                      {shellQuote(arg(strlines, 1)), arg(strlines, 3), shellQuote(archive)});
  return std::string();
}
