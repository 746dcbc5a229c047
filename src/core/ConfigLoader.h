// Reads a kadrel.ini into a plain struct, without touching any process-wide state, so that the
// agent (through LoadConfig, core/Settings) and kadrel-client read the file the same way.
#ifndef KADREL_CORE_CONFIGLOADER_H
#define KADREL_CORE_CONFIGLOADER_H

#include <istream>
#include <string>

#include "core/Result.h"

// The values of one kadrel.ini, as read (values trimmed). Keys that are absent keep these.
struct KadrelConfig {
  std::string serverid;
  std::string passphrase;
  std::string whitelist;
  std::string debug;
  std::string is_sha5;
  std::string user_group;
  int listenport = 240;
  // Limits on what peers can make the agent hold (src/session/Admission.h).
  int max_unauthenticated = 0;    // 0: a quarter of the descriptor limit
  int penalty_seconds = 2;        // first penalty after a failed handshake; 0 turns them off
  int penalty_max_seconds = 300;  // penalties double up to this
  std::string penalty_loopback;   // "yes": loopback addresses earn penalties too
  int handshake_timeout = 30;     // seconds to complete the handshake, reading and writing
  int reply_timeout = 120;        // seconds a reply may make no progress after authentication
  std::string audit;              // "off", "no", "false" or "0": no audit trail
  int worker_idle_seconds = 30;   // seconds a finished worker thread waits for the next connection
  // The listening port's transport (sockets/Tls.h).
  std::string tls;          // "on": the port speaks TLS only
  std::string tlscert;      // PEM file: the agent's certificate, then any intermediate ones
  std::string tlskey;       // PEM file: the certificate's private key
  std::string tlsclientca;  // PEM file: when set, a peer must present a certificate it signed
  // Game servers' control groups (src/dispatch/ServiceGroups.h).
  std::string service_groups;      // "off": none, the session's processes as they are found
  std::string service_memory_max;  // every service's default limits (core/ServiceLimits.h)
  std::string service_cpu_max;
  std::string service_tasks_max;
  // The operator's monitoring (src/agent/Metrics.h).
  std::string metrics_file;   // empty: kadrel.prom in node_exporter's textfile directory; "off": none
  int metrics_interval = 15;  // seconds between two writes of the file
};

// Success, or the failure with the text the agent logs for it: the file cannot be read, a line
// has an empty key or value or no "=", or a required setting is missing. `config` holds what
// was read up to the failure.
Result ReadConfig(std::istream& in, KadrelConfig& config);
Result ReadConfigFile(const std::string& path, KadrelConfig& config);

#endif
