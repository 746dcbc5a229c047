// Process-wide settings and their initial values.
#include "core/Settings.h"

#include <boost/algorithm/string/predicate.hpp>

#include "core/ConfigLoader.h"
#include "core/ErrorHandler.h"

#ifndef KADREL_SERVEROS
#define KADREL_SERVEROS "linux"
#endif

int listenport = 240;
const std::string version = KADREL_VERSION;  // the project version, set by the build
std::string serveros = KADREL_SERVEROS;
std::string serverid;
std::string passphrase;
std::string debug;
std::string whitelist;
std::string user_group;
std::string is_sha5;
int max_unauthenticated = 0;
int penalty_seconds = 2;
int penalty_max_seconds = 300;
bool penalty_loopback = false;
int handshake_timeout = 30;
int reply_timeout = 120;
bool audit = true;

bool iequals(const std::string& a, const std::string& b) { return boost::algorithm::iequals(a, b); }

bool isSha5Set() { return iequals(is_sha5, "true"); }

bool isFreeBSD() { return iequals(serveros, "freebsd"); }

bool LoadConfig() {
  KadrelConfig config;
  int code = ReadConfigFile("kadrel.ini", config);
  if (code != 0) ErrorCall(code);
  serverid = config.serverid;
  passphrase = config.passphrase;
  whitelist = config.whitelist;
  debug = config.debug;
  is_sha5 = config.is_sha5;
  user_group = config.user_group;
  listenport = config.listenport;
  max_unauthenticated = config.max_unauthenticated;
  penalty_seconds = config.penalty_seconds;
  penalty_max_seconds = config.penalty_max_seconds;
  penalty_loopback = iequals(config.penalty_loopback, "yes");
  handshake_timeout = config.handshake_timeout;
  reply_timeout = config.reply_timeout;
  audit = !(iequals(config.audit, "off") || iequals(config.audit, "no") || iequals(config.audit, "false") ||
            config.audit == "0");
  return true;
}
