// The agent's counters for the operator's monitoring: plain relaxed atomics, keyed by small
// indices, so that counting costs a connection or an instruction one increment and no lock.
// The instructions' counters are sized once at start-up, before any thread counts; the names
// behind the indices, and the text the monitoring reads, belong to the agent (agent/Metrics).
// Every counting function is safe to call from any thread.
#ifndef KADREL_CORE_METRICS_H
#define KADREL_CORE_METRICS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// How a connection ended before (or by) authenticating.
enum class ConnectionOutcome {
  Served,            // it authenticated
  RefusedAllowList,  // its address is not on the allow-list
  RefusedCap,        // closed to make room under the cap on unauthenticated connections
  Penalised,         // its address served a penalty for failed handshakes
  HandshakeFailed,   // a wrong server id or passphrase, a refused certificate, a failed TLS handshake
  TimedOut,          // the handshake was not complete within handshake_timeout
  Count
};

// What became of one instruction.
enum class InstructionOutcome {
  Answered,  // its reply went out
  Failed,    // a command it ran failed or was ended by a signal, or its reply could not be sent
  NoReply,   // nothing was answered (none wanted, or none to give)
  Count
};

// The upper bounds in seconds of the instruction duration histogram (then +Inf).
constexpr double kInstructionBuckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
constexpr size_t kInstructionBucketCount = sizeof kInstructionBuckets / sizeof kInstructionBuckets[0] + 1;

struct InstructionCounters {
  std::atomic<uint64_t> outcomes[static_cast<size_t>(InstructionOutcome::Count)] = {};
  std::atomic<uint64_t> buckets[kInstructionBucketCount] = {};  // each its own range, not cumulative
  std::atomic<uint64_t> microseconds{0};                        // the durations' sum
};

struct Metrics {
  std::atomic<uint64_t> connections[static_cast<size_t>(ConnectionOutcome::Count)] = {};
  std::atomic<int64_t> open{0};           // connections a thread serves
  std::atomic<int64_t> authenticated{0};  // of those, authenticated
  size_t instructionRows = 0;             // rows of instructions: the table's, then "other"
  std::unique_ptr<InstructionCounters[]> instructions;
};

// The agent's one set of counters.
Metrics& metrics();

// Makes room for `rows` instruction counters (the table's rows and one for every other name).
// Only start-up and tests call it, before any thread counts.
void SizeInstructionMetrics(size_t rows);

void CountConnection(ConnectionOutcome outcome);
// One instruction of row `row` (a row past the last counts as the last) and its duration.
void CountInstruction(size_t row, InstructionOutcome outcome, double seconds);

#endif
