// The counters.
#include "core/Metrics.h"

Metrics& metrics() {
  static Metrics m;
  return m;
}

void SizeInstructionMetrics(size_t rows) {
  metrics().instructions = std::make_unique<InstructionCounters[]>(rows);
  metrics().instructionRows = rows;
}

void CountConnection(ConnectionOutcome outcome) {
  metrics().connections[static_cast<size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
}

void CountInstruction(size_t row, InstructionOutcome outcome, double seconds) {
  Metrics& m = metrics();
  if (m.instructionRows == 0) return;
  InstructionCounters& c = m.instructions[row < m.instructionRows ? row : m.instructionRows - 1];
  size_t bucket = 0;
  while (bucket + 1 < kInstructionBucketCount && seconds > kInstructionBuckets[bucket]) ++bucket;
  c.outcomes[static_cast<size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
  c.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  c.microseconds.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
}
