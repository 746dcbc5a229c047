// explode, trim and friends.
#include "exec/InstructionParserHelpers.h"

#include <unistd.h>

#include <boost/algorithm/string/trim.hpp>
#include <cctype>
#include <cstdlib>

std::vector<std::string> explode(const std::string& delimiter, std::string str) {
  if (delimiter.empty()) return {};
  std::vector<std::pair<size_t, size_t>> bounds;  // where each piece starts, and its size
  size_t k = 0;
  for (size_t i; (i = str.find(delimiter, k)) != std::string::npos; k = i + delimiter.size())
    bounds.emplace_back(k, i - k);
  bounds.emplace_back(k, str.size() - k);
  size_t largest = 0;
  for (size_t i = 1; i < bounds.size(); ++i)
    if (bounds[i].second > bounds[largest].second) largest = i;
  std::vector<std::string> pieces(bounds.size());
  for (size_t i = 0; i < bounds.size(); ++i)
    if (i != largest) pieces[i] = str.substr(bounds[i].first, bounds[i].second);
  const auto [at, size] = bounds[largest];
  pieces[largest] = std::move(str.erase(at + size).erase(0, at));
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
