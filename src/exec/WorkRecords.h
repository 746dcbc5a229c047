// The work form's pipe between a child and the agent: what the child's work hands back (reply
// bytes, log lines, warnings, a failure, the end of the work) travels as records of one type
// byte, a 4-byte length in the host's order and the payload, and the parent takes them apart
// block by block as they arrive, holding no more than one record's text.
#ifndef KADREL_EXEC_WORKRECORDS_H
#define KADREL_EXEC_WORKRECORDS_H

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// What a child sends when it cannot go on (a failed identity switch, dup2 or exec).
struct ChildReport {
  int code;  // a ChangeIdFailure, or one of the exec form's own codes
  int err;   // errno of the failed call
};

// What the work body hands back from the child. The child never logs itself (a lock held by
// another thread at fork time would hang it): the parent writes these lines once, after the
// child ended, in order.
class WorkOutput {
 public:
  explicit WorkOutput(int fd) : fd_(fd) {}
  WorkOutput(const WorkOutput&) = delete;
  WorkOutput& operator=(const WorkOutput&) = delete;

  void append(const char* data, size_t n);  // to the reply
  void append(const std::string& s) { append(s.data(), s.size()); }
  void log(const std::string& line);   // an ordinary log line (Log) the parent writes
  void warn(const std::string& text);  // a warning the parent logs with Log_warn("%s", ...)
  // Sends what is buffered; `done` marks the end of the work. A parent that stopped reading
  // ends the child here (SIGPIPE, or _exit(1) on the failed write).
  void flush(bool done = false);
  // Sends the failure that ends the child before its work began.
  void fail(const ChildReport& report);

 private:
  void record(char type, const char* data, size_t n);
  int fd_;
  std::string buffered_;
};

// Takes the reply's bytes as they arrive; false refuses the rest of the reply.
typedef std::function<bool(const char* data, size_t n)> ReplySink;

// Reads the records of one work pipe as they arrive: the reply's bytes go to the sink as they
// come; log lines, warnings and a failure are kept for the parent to log once the child ended.
class WorkReader {
 public:
  explicit WorkReader(const ReplySink& sink) : sink_(sink) {}
  WorkReader(const WorkReader&) = delete;
  WorkReader& operator=(const WorkReader&) = delete;

  // Takes the next `n` bytes of the pipe, which may end or begin anywhere in a record. False
  // once the sink refused the reply: nothing more is taken.
  bool feed(const char* p, size_t n);

  bool done = false;     // the end of the work arrived
  bool refused = false;  // the sink refused the reply
  bool failed = false;   // a failure arrived; `report` holds it
  ChildReport report = {0, 0};
  std::vector<std::pair<bool, std::string>> lines;  // {is a warning, text} of log lines, in order

 private:
  void finishRecord();

  const ReplySink& sink_;
  std::string header_, text_;
  size_t left_ = 0;
};

#endif
