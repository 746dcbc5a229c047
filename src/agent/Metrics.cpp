// The metrics text and its writer.
#include "agent/Metrics.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/Log.h"
#include "core/Metrics.h"
#include "core/Settings.h"
#include "dispatch/InstructionTable.h"
#include "exec/Descriptors.h"
#include "handlers/servicelimits.h"
#include "session/Admission.h"

// The length of the valid UTF-8 sequence at `p` (of `n` bytes), 0 when there is none.
static size_t utf8Sequence(const unsigned char* p, size_t n) {
  if (p[0] < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xbf;  // the second byte's range
  if (p[0] >= 0xc2 && p[0] <= 0xdf) {
    len = 2;
  } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
    len = 3;
    if (p[0] == 0xe0) lo = 0xa0;  // no overlong forms
    if (p[0] == 0xed) hi = 0x9f;  // no surrogates
  } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
    len = 4;
    if (p[0] == 0xf0) lo = 0x90;
    if (p[0] == 0xf4) hi = 0x8f;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((p[i] & 0xc0) != 0x80) return 0;
  return len;
}

std::string MetricsLabel(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value.data());
  for (size_t at = 0; at < value.size();) {
    const size_t len = utf8Sequence(p + at, value.size() - at);
    if (len == 0) {
      out += "\xef\xbf\xbd";
      ++at;
      continue;
    }
    const char c = value[at];
    if (c == '\\' || c == '"')
      out.append(1, '\\').append(1, c);
    else if (c == '\n')
      out += "\\n";
    else
      out.append(value, at, len);
    at += len;
  }
  return out;
}

// Appends a family's HELP and TYPE lines.
static void family(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(1, ' ').append(help).append("\n# TYPE ").append(name);
  out.append(1, ' ').append(type).append(1, '\n');
}

// Appends "NAME{LABELS} VALUE\n"; `labels` already escaped, without braces (empty: none).
static void sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
  out.append(name);
  if (!labels.empty()) out.append(1, '{').append(labels).append(1, '}');
  out.append(1, ' ').append(value).append(1, '\n');
}

// The shortest text that reads back as `v` (0.1, not 0.10000000000000001).
static std::string number(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

static std::string load(const std::atomic<uint64_t>& a) {
  return std::to_string(a.load(std::memory_order_relaxed));
}

static void agentSeries(std::string& out, long long startTime, size_t penalised) {
  const Metrics& m = metrics();
  family(out, "kadrel_build_info", "gauge", "The agent's version (always 1).");
  sample(out, "kadrel_build_info", "version=\"" + MetricsLabel(version) + "\"", "1");
  family(out, "kadrel_start_time_seconds", "gauge", "When the agent started, in seconds since the epoch.");
  sample(out, "kadrel_start_time_seconds", "", std::to_string(startTime));

  const long long open = m.open.load(std::memory_order_relaxed),
                  authenticated = m.authenticated.load(std::memory_order_relaxed);
  family(out, "kadrel_connections", "gauge", "Connections open, by state.");
  sample(out, "kadrel_connections", "state=\"unauthenticated\"",
         std::to_string(std::max(open - authenticated, 0LL)));
  sample(out, "kadrel_connections", "state=\"authenticated\"", std::to_string(authenticated));

  static const char* const outcomes[] = {"served",    "refused_allow_list", "refused_cap",
                                         "penalised", "handshake_failed",   "timed_out"};
  static_assert(sizeof outcomes / sizeof outcomes[0] == static_cast<size_t>(ConnectionOutcome::Count), "");
  family(out, "kadrel_connections_total", "counter",
         "Connections by how they ended before or by authenticating.");
  for (size_t i = 0; i < static_cast<size_t>(ConnectionOutcome::Count); ++i)
    sample(out, "kadrel_connections_total", std::string("outcome=\"") + outcomes[i] + "\"",
           load(m.connections[i]));

  family(out, "kadrel_penalised_sources", "gauge",
         "Source addresses serving a penalty for failed handshakes.");
  sample(out, "kadrel_penalised_sources", "", std::to_string(penalised));
}

static void instructionSeries(std::string& out) {
  const Metrics& m = metrics();
  static const char* const outcomes[] = {"answered", "failed", "no_reply"};
  static_assert(sizeof outcomes / sizeof outcomes[0] == static_cast<size_t>(InstructionOutcome::Count), "");
  // The totals of each row that ran, read once so that the two families agree.
  std::vector<std::pair<size_t, uint64_t>> ran;
  for (size_t row = 0; row < m.instructionRows; ++row) {
    uint64_t n = 0;
    for (const auto& b : m.instructions[row].buckets) n += b.load(std::memory_order_relaxed);
    if (n > 0) ran.emplace_back(row, n);
  }
  const auto label = [](size_t row) {
    return "instruction=\"" +
           MetricsLabel(row < instruction_table.size() ? instruction_table[row].name : "other") + "\"";
  };
  family(out, "kadrel_instructions_total", "counter", "Instructions by name and outcome.");
  for (const auto& r : ran)
    for (size_t o = 0; o < static_cast<size_t>(InstructionOutcome::Count); ++o)
      sample(out, "kadrel_instructions_total", label(r.first) + ",outcome=\"" + outcomes[o] + "\"",
             load(m.instructions[r.first].outcomes[o]));
  family(out, "kadrel_instruction_duration_seconds", "histogram", "How long instructions took, by name.");
  for (const auto& r : ran) {
    const InstructionCounters& c = m.instructions[r.first];
    const std::string name = label(r.first);
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kInstructionBucketCount; ++b) {
      cumulative += c.buckets[b].load(std::memory_order_relaxed);
      const std::string le = b + 1 < kInstructionBucketCount ? number(kInstructionBuckets[b]) : "+Inf";
      // The last bucket holds every instruction counted in `ran`.
      sample(out, "kadrel_instruction_duration_seconds_bucket", name + ",le=\"" + le + "\"",
             std::to_string(b + 1 < kInstructionBucketCount ? std::min(cumulative, r.second) : r.second));
    }
    sample(out, "kadrel_instruction_duration_seconds_sum", name,
           number(static_cast<double>(c.microseconds.load(std::memory_order_relaxed)) / 1e6));
    sample(out, "kadrel_instruction_duration_seconds_count", name, std::to_string(r.second));
  }
}

static void serviceSeries(std::string& out, const std::vector<ServiceSample>& services) {
  std::vector<std::string> labels;
  for (const ServiceSample& s : services)
    labels.push_back("account=\"" + MetricsLabel(s.account) + "\",service=\"" + MetricsLabel(s.id) + "\"");
  // Each family, with one sample for each service whose group tells the value (none below 0).
  const auto each = [&](const char* name, const char* type, const char* help, auto value) {
    family(out, name, type, help);
    for (size_t i = 0; i < services.size(); ++i) {
      const double v = value(services[i]);
      if (v >= 0) sample(out, name, labels[i], number(v));
    }
  };
  each("kadrel_service_running", "gauge", "Whether a process of the service runs (1) or not (0).",
       [](const ServiceSample& s) { return s.usage.running ? 1.0 : 0.0; });
  each("kadrel_service_start_time_seconds", "gauge",
       "When the service's current start began, in seconds since the epoch.",
       [](const ServiceSample& s) { return s.usage.running ? static_cast<double>(s.since) : -1.0; });
  each("kadrel_service_cpu_seconds_total", "counter", "CPU time the service's processes used.",
       [](const ServiceSample& s) { return s.usage.cpuSeconds; });
  each("kadrel_service_memory_bytes", "gauge", "Memory the service's processes use.",
       [](const ServiceSample& s) { return static_cast<double>(s.usage.memoryBytes); });
  each("kadrel_service_tasks", "gauge", "Tasks (threads) of the service's processes.",
       [](const ServiceSample& s) { return static_cast<double>(s.usage.tasks); });
  each("kadrel_service_oom_kills_total", "counter", "Processes of the service its memory limit ended.",
       [](const ServiceSample& s) { return static_cast<double>(s.usage.oomKills); });
  each("kadrel_service_memory_limit_bytes", "gauge", "The service's memory limit.",
       [](const ServiceSample& s) { return static_cast<double>(s.usage.limits.memoryBytes); });
  each("kadrel_service_cpu_limit_cores", "gauge", "The service's CPU limit, in CPUs (1.5: one and a half).",
       [](const ServiceSample& s) {
         return s.usage.limits.cpuPercent < 0 ? -1.0 : s.usage.limits.cpuPercent / 100.0;
       });
  each("kadrel_service_tasks_limit", "gauge", "The service's limit on tasks.",
       [](const ServiceSample& s) { return static_cast<double>(s.usage.limits.tasks); });
}

std::string MetricsText(long long startTime, size_t penalised, const std::vector<ServiceSample>& services) {
  std::string out;
  out.reserve(4096 + services.size() * 1024);
  agentSeries(out, startTime, penalised);
  instructionSeries(out);
  serviceSeries(out, services);
  return out;
}

std::vector<ServiceSample> SampleServices() {
  std::vector<ServiceSample> samples;
  if (!serviceGroupsUsable()) return samples;
  for (auto& group : existingServiceGroups()) {
    ServiceSample s;
    if (!serviceGroupUsage(group.first, group.second, s.usage)) continue;
    if (s.usage.running) s.since = serviceStartTime(group.first, group.second);
    s.account = std::move(group.first);
    s.id = std::move(group.second);
    samples.push_back(std::move(s));
  }
  return samples;
}

Result WriteMetricsFile(const std::string& path, const std::string& text) {
  // node_exporter reads only names that end in ".prom".
  const std::string temporary = path + ".new";
  Fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) return Result::Failure("open", errno);
  Result outcome;
  if (!writeAll(fd.get(), text.data(), text.size()))
    outcome = Result::Failure("write", errno);
  else if (fchmod(fd.get(), 0644) != 0)  // whatever the umask took away
    outcome = Result::Failure("fchmod", errno);
  else if (rename(temporary.c_str(), path.c_str()) != 0)
    outcome = Result::Failure("rename", errno);
  if (!outcome) unlink(temporary.c_str());
  return outcome;
}

void StartMetricsWriter(long long startTime) {
  const std::string path = settings().metricsFile;
  if (path.empty()) return;
  try {
    std::thread([path, startTime] {
      pthread_setname_np(pthread_self(), "kadrel-metrics");  // its CPU time apart in top -H and /proc
      std::set<std::pair<std::string, int>> logged;          // the failures already logged
      for (;;) {
        // The default file waits, without a word, for node_exporter's package to make its directory.
        struct stat st;
        const bool skip =
            settings().metricsOnlyIfDirectory && stat(path.substr(0, path.rfind('/')).c_str(), &st) != 0;
        const Result r =
            skip ? Result()
                 : WriteMetricsFile(path, MetricsText(startTime, admission().penalised(), SampleServices()));
        if (!r && logged.emplace(r.text(), r.err()).second)
          Log_warn("There was a problem with the metrics file %s: %s: %s", path.c_str(), r.text().c_str(),
                   strerror(r.err()));
        std::this_thread::sleep_for(std::chrono::seconds(settings().metricsInterval));
      }
    }).detach();
  } catch (const std::system_error& e) {
    Log_failure("There was a problem with the metrics writer: %s; no metrics are written", e.what());
  }
}
