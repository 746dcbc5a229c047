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

static const char kUnreadable[] = "Couldn't read the config file";

// Leading digits count, the rest is ignored; a limit beyond the int range is clamped to it
// rather than wrapped into a small or negative one.
static int decimal(const std::string& value) {
  long long n = strtoll(value.c_str(), nullptr, 10);
  return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, n)));
}

// The port: like the C library's decimal conversion, leading digits count, the rest is ignored.
static int portNumber(const std::string& value) {
  return static_cast<int>(strtol(value.c_str(), nullptr, 10));
}

// Every key the file may hold, and the member its value goes to; other keys are ignored.
static const struct {
  const char* key;
  std::string KadrelConfig::*field;
} kTextKeys[] = {
    {"serverid", &KadrelConfig::serverid},
    {"passphrase", &KadrelConfig::passphrase},
    {"whitelist", &KadrelConfig::whitelist},
    {"debug", &KadrelConfig::debug},
    {"is_sha5", &KadrelConfig::is_sha5},
    {"user_group", &KadrelConfig::user_group},
    {"penalty_loopback", &KadrelConfig::penalty_loopback},
    {"audit", &KadrelConfig::audit},
    {"tls", &KadrelConfig::tls},
    {"tlscert", &KadrelConfig::tlscert},
    {"tlskey", &KadrelConfig::tlskey},
    {"tlsclientca", &KadrelConfig::tlsclientca},
    {"service_groups", &KadrelConfig::service_groups},
    {"service_memory_max", &KadrelConfig::service_memory_max},
    {"service_cpu_max", &KadrelConfig::service_cpu_max},
    {"service_tasks_max", &KadrelConfig::service_tasks_max},
    {"metrics_file", &KadrelConfig::metrics_file},
};
static const struct {
  const char* key;
  int KadrelConfig::*field;
  int (*convert)(const std::string&);
} kNumberKeys[] = {
    {"listenport", &KadrelConfig::listenport, portNumber},
    {"max_unauthenticated", &KadrelConfig::max_unauthenticated, decimal},
    {"penalty_seconds", &KadrelConfig::penalty_seconds, decimal},
    {"penalty_max_seconds", &KadrelConfig::penalty_max_seconds, decimal},
    {"handshake_timeout", &KadrelConfig::handshake_timeout, decimal},
    {"reply_timeout", &KadrelConfig::reply_timeout, decimal},
    {"worker_idle_seconds", &KadrelConfig::worker_idle_seconds, decimal},
    {"metrics_interval", &KadrelConfig::metrics_interval, decimal},
};

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
    for (const auto& k : kTextKeys)
      if (iequals(key, k.key)) config.*k.field = value;
    for (const auto& k : kNumberKeys)
      if (iequals(key, k.key)) config.*k.field = k.convert(value);
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
