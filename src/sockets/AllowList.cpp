// The peer allow-list.
#include "sockets/AllowList.h"

#include <arpa/inet.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <charconv>
#include <vector>

std::string addressText(uint32_t addr) {
  // Not inet_ntop: its printf machinery needs more stack than the rest of a connection's work,
  // and the deepest page a worker's stack ever touched stays with every idle connection.
  const uint32_t host = ntohl(addr);
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char octet[4];
    text.append(octet, std::to_chars(octet, octet + sizeof octet, (host >> shift) & 0xff).ptr);
    if (shift > 0) text += '.';
  }
  return text;
}

bool allowListAllows(const std::string& list, const std::string& ip, std::string& logged) {
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
