// Process-wide settings of the agent. Written once during start-up (configuration load,
// detaching) before any worker thread exists; read without locks afterwards.
#ifndef KADREL_CORE_SETTINGS_H
#define KADREL_CORE_SETTINGS_H

#include <string>

extern int listenport;             // TCP port, 240 unless configured
extern const std::string version;  // the agent's version: the project version, e.g. "2.0.0.0"
extern std::string serveros;       // build-time host system: "linux" or "freebsd"
extern std::string serverid;       // the server id the panel must present
extern std::string passphrase;     // the passphrase the panel must present
extern std::string debug;          // "alwayson", "on" or anything else (off)
extern std::string whitelist;      // allowed peer addresses separated by ";"
extern std::string user_group;     // group given to new accounts
extern std::string is_sha5;        // "true" (any case) selects the mkpasswd password form
extern int max_unauthenticated;    // connections not yet authenticated held at once (0: default)
extern int penalty_seconds;        // first penalty for a failed handshake; 0: no penalties
extern int penalty_max_seconds;    // penalties double up to this
extern bool penalty_loopback;      // loopback addresses earn penalties too (tests)
extern int handshake_timeout;      // seconds for the whole handshake, reads and writes
extern int reply_timeout;          // seconds a reply may make no progress once authenticated
extern bool audit;                 // the audit trail (core/Audit.h) is written; on unless configured off

// Reads "kadrel.ini" from the start directory into the settings above; every failure ends
// the process with its message (ErrorCall), so it returns true.
bool LoadConfig();

// True when is_sha5 equals "true" without regard to letter case.
bool isSha5Set();

// True when serveros names FreeBSD (any letter case).
bool isFreeBSD();

// Case-insensitive equality of two texts (ASCII, as the global "C" locale classifies).
bool iequals(const std::string& a, const std::string& b);

#endif
