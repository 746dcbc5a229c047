// explode, trim and friends.
#include "exec/InstructionParserHelpers.h"

#include <unistd.h>

#include <boost/algorithm/string/trim.hpp>
#include <cctype>
#include <cstdlib>

std::vector<std::string> explode(const std::string& delimiter, const std::string& str) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) return pieces;
  size_t k = 0;
  size_t i = 0;
  while (i < str.size()) {
    if (str.compare(i, delimiter.size(), delimiter) == 0) {
      pieces.push_back(str.substr(k, i - k));
      i += delimiter.size();
      k = i;
    } else {
      ++i;
    }
  }
  pieces.push_back(str.substr(k));
  return pieces;
}

std::string& trim(std::string& str) {
  boost::algorithm::trim(str);
  return str;
}

const std::string& arg(const std::vector<std::string>& strlines, size_t i) {
  static const std::string empty;
  return i < strlines.size() ? strlines[i] : empty;
}

bool agentDirectory(std::string& dir) {
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return false;
  dir = cwd;
  free(cwd);
  return true;
}

bool validAccountName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name[0] == '-') return false;
  for (unsigned char c : name) {
    if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}
