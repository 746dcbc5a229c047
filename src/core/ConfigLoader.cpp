// Configuration file parsing: key=value lines, keys compared without regard to letter case.
#include "core/ConfigLoader.h"

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <vector>

using boost::algorithm::iequals;

// Leading digits count, the rest is ignored; a limit beyond the int range is clamped to it
// rather than wrapped into a small or negative one.
static const char kUnreadable[] = "Couldn't read the config file";

static int decimal(const std::string& value) {
  long long n = strtoll(value.c_str(), nullptr, 10);
  return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, n)));
}

Result ReadConfig(std::istream& in, KadrelConfig& config) {
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, line, boost::algorithm::is_any_of("="));
    if (pieces.size() < 2 || pieces[0].empty() || pieces[1].empty())
      return Result::Failure("There was an error loading the config. Error: Field is empty\n");
    const std::string& key = pieces[0];
    const std::string value = boost::algorithm::trim_copy(pieces[1]);
    if (iequals(key, "serverid")) {
      config.serverid = value;
    } else if (iequals(key, "passphrase")) {
      config.passphrase = value;
    } else if (iequals(key, "whitelist")) {
      config.whitelist = value;
    } else if (iequals(key, "debug")) {
      config.debug = value;
    } else if (iequals(key, "is_sha5")) {
      config.is_sha5 = value;
    } else if (iequals(key, "user_group")) {
      config.user_group = value;
    } else if (iequals(key, "listenport")) {
      // Like the C library's decimal conversion: leading digits count, the rest is ignored.
      config.listenport = static_cast<int>(strtol(value.c_str(), nullptr, 10));
    } else if (iequals(key, "max_unauthenticated")) {
      config.max_unauthenticated = decimal(value);
    } else if (iequals(key, "penalty_seconds")) {
      config.penalty_seconds = decimal(value);
    } else if (iequals(key, "penalty_max_seconds")) {
      config.penalty_max_seconds = decimal(value);
    } else if (iequals(key, "penalty_loopback")) {
      config.penalty_loopback = value;
    } else if (iequals(key, "handshake_timeout")) {
      config.handshake_timeout = decimal(value);
    } else if (iequals(key, "reply_timeout")) {
      config.reply_timeout = decimal(value);
    } else if (iequals(key, "audit")) {
      config.audit = value;
    } else if (iequals(key, "worker_idle_seconds")) {
      config.worker_idle_seconds = decimal(value);
    } else if (iequals(key, "tls")) {
      config.tls = value;
    } else if (iequals(key, "tlscert")) {
      config.tlscert = value;
    } else if (iequals(key, "tlskey")) {
      config.tlskey = value;
    } else if (iequals(key, "tlsclientca")) {
      config.tlsclientca = value;
    }
  }
  // A read that failed (the path is a directory, an I/O error) is an unreadable file, not
  // one that ended early.
  if (in.bad()) return Result::Failure(kUnreadable);
  if (config.serverid.empty() || config.passphrase.empty() || config.debug.empty())
    return Result::Failure("Error loading configuration. A setting wasn't loaded\n");
  return Result();
}

Result ReadConfigFile(const std::string& path, KadrelConfig& config) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return Result::Failure(kUnreadable, errno);
  return ReadConfig(in, config);
}
