// The agent's settings, one typed object: read from kadrel.ini once at start-up, before any
// other thread exists, and only read afterwards (through settings()), so that every thread
// shares them without locks. The session's own settings (the acting account, whether replies
// are wanted, whether to close after one) are not here: the panel changes them while the agent
// runs (session/SessionMessages.h).
#ifndef KADREL_CORE_SETTINGS_H
#define KADREL_CORE_SETTINGS_H

#include <string>
#include <string_view>

#include "core/ServiceLimits.h"

struct KadrelConfig;

// `debug`: where ordinary log lines go, and whether the agent detaches.
enum class DebugMode {
  Off,         // any other value: detached, no ordinary lines
  File,        // "on": detached, ordinary lines (and failures) in debug.txt
  Foreground,  // "alwayson": not detached, ordinary lines on standard output
};

// The host system the command lines are written for, chosen when the agent is built.
enum class HostSystem { Linux, FreeBSD };

struct Settings {
  std::string serverid;    // the server id the panel must present
  std::string passphrase;  // the passphrase the panel must present
  std::string whitelist;   // allowed peer addresses separated by ";"; empty: every peer
  std::string user_group;  // group given to new accounts
  int listenport;          // TCP port
  DebugMode debug;
  bool shaPasswords;  // is_sha5 "true" (any letter case): passwords through mkpasswd
  HostSystem os;
  int max_unauthenticated;      // connections not yet authenticated held at once (0: default)
  int penalty_seconds;          // first penalty for a failed handshake; 0: no penalties
  int penalty_max_seconds;      // penalties double up to this
  bool penalty_loopback;        // loopback addresses earn penalties too (tests)
  int handshake_timeout;        // seconds for the whole handshake, reads and writes
  int reply_timeout;            // seconds a reply may make no progress once authenticated
  int worker_idle_seconds;      // seconds a finished worker thread waits for the next connection
  bool audit;                   // the audit trail (core/Audit.h) is written
  bool tls;                     // "on" (small letters): the port speaks TLS only
  std::string tlscert;          // the agent's certificate chain (PEM)
  std::string tlskey;           // its private key (PEM)
  std::string tlsclientca;      // empty: no client certificate asked; else the CA that signs them
  bool serviceGroups;           // game servers in control groups of their own, where the host allows
  ServiceLimits serviceLimits;  // every service's limits unless the panel set its own
  std::string metricsFile;      // the file the metrics are written to; empty: none
  bool metricsOnlyIfDirectory;  // written only while its directory exists (the default file)
  int metricsInterval;          // seconds between two writes of it (at least 1)
};

// node_exporter's textfile directory as Debian's package sets it up.
const char kTextfileDirectory[] = "/var/lib/prometheus/node-exporter";

// The agent's version: the project version, e.g. "2.0.0.0".
extern const std::string version;

// The settings one configuration makes (absent keys keep KadrelConfig's defaults).
Settings SettingsFrom(const KadrelConfig& config);

// The agent's settings: those of an empty configuration until LoadConfig.
const Settings& settings();

// Makes `s` the agent's settings. Only start-up and tests call it, before any thread that
// reads them runs.
void UseSettings(const Settings& s);

// Reads "kadrel.ini" from the start directory into the agent's settings; every failure ends
// the process with its message (Log_err).
void LoadConfig();

// True when the command lines are the FreeBSD forms.
inline bool isFreeBSD() { return settings().os == HostSystem::FreeBSD; }

// Case-insensitive equality of two texts (ASCII, as the global "C" locale classifies).
bool iequals(std::string_view a, std::string_view b);

#endif
