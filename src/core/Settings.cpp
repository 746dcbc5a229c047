// The agent's settings: made from a configuration, kept once.
#include "core/Settings.h"

#include <algorithm>
#include <cctype>

#include "core/ConfigLoader.h"
#include "core/Log.h"

#ifndef KADREL_SERVEROS
#define KADREL_SERVEROS "linux"
#endif

const std::string version = KADREL_VERSION;  // the project version, set by the build

// Byte by byte with the C library's tables: a comparison per byte, where a std::locale would look
// its facet up for every one (every message of every connection is matched this way).
bool iequals(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
  });
}

Settings SettingsFrom(const KadrelConfig& config) {
  Settings s;
  s.serverid = config.serverid;
  s.passphrase = config.passphrase;
  s.whitelist = config.whitelist;
  s.user_group = config.user_group;
  s.listenport = config.listenport;
  // Letter case counts here: "ON" is off.
  s.debug = config.debug == "alwayson" ? DebugMode::Foreground
            : config.debug == "on"     ? DebugMode::File
                                       : DebugMode::Off;
  s.shaPasswords = iequals(config.is_sha5, "true");
  s.os = iequals(KADREL_SERVEROS, "freebsd") ? HostSystem::FreeBSD : HostSystem::Linux;
  s.max_unauthenticated = config.max_unauthenticated;
  s.penalty_seconds = config.penalty_seconds;
  s.penalty_max_seconds = config.penalty_max_seconds;
  s.penalty_loopback = iequals(config.penalty_loopback, "yes");
  s.handshake_timeout = config.handshake_timeout;
  s.reply_timeout = config.reply_timeout;
  s.worker_idle_seconds = config.worker_idle_seconds;
  s.audit = !(iequals(config.audit, "off") || iequals(config.audit, "no") || iequals(config.audit, "false") ||
              config.audit == "0");
  // Like debug, only the small letters count.
  s.tls = config.tls == "on";
  s.tlscert = config.tlscert;
  s.tlskey = config.tlskey;
  s.tlsclientca = config.tlsclientca;
  s.serviceGroups = !iequals(config.service_groups, "off");
  // An unreadable value stops start-up (LoadConfig); here it reads as none.
  parseLimit(LimitKind::Memory, config.service_memory_max, s.serviceLimits.memoryBytes);
  parseLimit(LimitKind::Cpu, config.service_cpu_max, s.serviceLimits.cpuPercent);
  parseLimit(LimitKind::Tasks, config.service_tasks_max, s.serviceLimits.tasks);
  // By default the metrics go where node_exporter, once installed, publishes them.
  s.metricsFile = config.metrics_file.empty()           ? std::string(kTextfileDirectory) + "/kadrel.prom"
                  : iequals(config.metrics_file, "off") ? std::string()
                                                        : config.metrics_file;
  s.metricsOnlyIfDirectory = config.metrics_file.empty();
  s.metricsInterval = std::max(config.metrics_interval, 1);
  return s;
}

static Settings& current() {
  static Settings s = SettingsFrom(KadrelConfig());
  return s;
}

const Settings& settings() { return current(); }

void UseSettings(const Settings& s) { current() = s; }

void LoadConfig() {
  KadrelConfig config;
  const Result read = ReadConfigFile("kadrel.ini", config);
  if (!read) Log_err("%s", read.text().c_str());
  const struct {
    const char* key;
    const std::string& value;
    LimitKind kind;
  } limits[] = {{"service_memory_max", config.service_memory_max, LimitKind::Memory},
                {"service_cpu_max", config.service_cpu_max, LimitKind::Cpu},
                {"service_tasks_max", config.service_tasks_max, LimitKind::Tasks}};
  for (const auto& limit : limits) {
    long long ignored;
    if (!limit.value.empty() && !parseLimit(limit.kind, limit.value, ignored))
      Log_err("Error loading configuration. %s is not a limit: %s\n", limit.key, limit.value.c_str());
  }
  UseSettings(SettingsFrom(config));
}
