// The peer allow-list: which addresses may connect.
#ifndef KADREL_SOCKETS_ALLOWLIST_H
#define KADREL_SOCKETS_ALLOWLIST_H

#include <cstdint>
#include <string>

// Dotted-decimal text of an IPv4 address in network byte order.
std::string addressText(uint32_t addr);

// True when the peer address `ip` (dotted decimal) may connect under the allow-list `list`
// (addresses separated by ";"; an empty list, or an empty first entry, allows every address).
// `logged` receives the log line to write, or stays empty when no check was made.
bool allowListAllows(const std::string& list, const std::string& ip, std::string& logged);

#endif
