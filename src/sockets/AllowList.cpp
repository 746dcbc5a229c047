// The peer allow-list.
#include "sockets/AllowList.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

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
  // An empty list, or one whose first entry is empty, allows every peer. Entries are read in
  // place: a check on every connection copies nothing.
  if (list.empty() || list[0] == ';') return true;
  std::string_view rest(list);
  for (;;) {
    const size_t end = rest.find(';');
    if (rest.substr(0, end) == ip) {
      logged = "Allowed login from known ip";
      return true;
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  logged = "Denied login from unknown ip";
  return false;
}
