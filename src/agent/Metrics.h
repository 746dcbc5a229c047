// The metrics file for the operator's monitoring: the agent's counters (core/Metrics.h) and every
// game server's usage in Prometheus's text format, written whole every metrics_interval seconds
// by one thread of its own into node_exporter's textfile directory, which serves it with the
// host's own metrics (the agent opens no port for it). MetricsText and WriteMetricsFile may run
// on any thread; StartMetricsWriter once, at start-up.
#ifndef KADREL_AGENT_METRICS_H
#define KADREL_AGENT_METRICS_H

#include <string>
#include <vector>

#include "core/Result.h"
#include "exec/ServiceGroups.h"

// One game server as its control group shows it.
struct ServiceSample {
  std::string account, id;
  ServiceUsage usage;
  long long since = -1;  // when its current start began (Unix time); -1: not running, or not known
};

// `value` as a label value: '\', '"' and the line feed escaped as the text format says, and
// each byte that is no part of valid UTF-8 written as U+FFFD.
std::string MetricsLabel(const std::string& value);

// The whole text: the agent's counters, its start time (Unix time), the sources serving a
// penalty, and `services`. Instructions are labelled with the table's names, "other" for the
// rest; only those that ran appear.
std::string MetricsText(long long startTime, size_t penalised, const std::vector<ServiceSample>& services);

// Every service group there is, with its usage, as the writer reads them.
std::vector<ServiceSample> SampleServices();

// Writes `text` to a temporary file beside `path` (root's, mode 0644) and renames it over `path`,
// so that a reader sees the old file or the new one, never a part. A failure's text names the
// step that failed, with its errno.
Result WriteMetricsFile(const std::string& path, const std::string& text);

// Starts the writer thread when the settings name a metrics file: the file at once, then every
// metrics_interval seconds (the default file only while node_exporter's directory exists). A failure to write
// is logged once for each step and errno, and the agent serves on.
void StartMetricsWriter(long long startTime);

#endif
