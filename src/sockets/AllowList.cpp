// The peer allow-list.
#include "sockets/AllowList.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <vector>

bool whitelistAllows(const std::string& list, const std::string& ip, std::string& logged) {
  logged.clear();
  if (list.empty()) return true;
  std::vector<std::string> entries;
  boost::algorithm::split(entries, list, boost::algorithm::is_any_of(";"));
  if (entries.empty() || entries[0].empty()) return true;
  for (const std::string& entry : entries) {
    if (entry == ip) {
      logged = "Allowed login from known ip";
      return true;
    }
  }
  logged = "Denied login from unknown ip";
  return false;
}
