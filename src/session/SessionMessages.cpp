// The request envelope and the handshake state table.
#include "session/SessionMessages.h"

#include <openssl/crypto.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "core/Audit.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/Settings.h"
#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionTable.h"
#include "exec/Child.h"
#include "exec/PeerWatch.h"
#include "session/Admission.h"
#include "session/KadrelConnection.h"

static std::mutex settings_mutex;
static std::string user = "root";
// "cmd_return:" and "cmd_close:": "yes" in any letter case, decided once where it is set.
static bool replyWanted = false;
static bool closeAfterReply = true;

SessionSettings currentSessionSettings() {
  std::lock_guard<std::mutex> lock(settings_mutex);
  return SessionSettings{user, replyWanted, closeAfterReply};
}

void setSessionSettings(const SessionSettings& settings) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  user = settings.user;
  replyWanted = settings.replyWanted;
  closeAfterReply = settings.closeAfterReply;
}

bool secretEquals(const std::string& given, const std::string& expected) {
  // Case-folded in blocks on the stack, not in copies (a worker's thread keeps each block it
  // freed, for every idle connection). Every block is compared: only the lengths' equality can
  // be learnt from the time taken (a given secret of another length is not read at all).
  const bool sameLength = given.size() == expected.size();
  const std::string& a = sameLength ? given : expected;
  int differ = sameLength ? 0 : 1;
  char x[64], y[64];
  for (size_t at = 0; at < expected.size(); at += sizeof x) {
    const size_t n = std::min(sizeof x, expected.size() - at);
    for (size_t i = 0; i < n; ++i) {
      x[i] = static_cast<char>(tolower(static_cast<unsigned char>(a[at + i])));
      y[i] = static_cast<char>(tolower(static_cast<unsigned char>(expected[at + i])));
    }
    differ |= CRYPTO_memcmp(x, y, n);
  }
  return differ == 0;
}

// Sets a session setting both for this connection and process-wide.
template <typename T>
static void setSetting(T& global, std::optional<T>& own, const T& value) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  global = value;
  own = value;
}

// Leaves the answer in `reply` (empty: none) and, in `failed`, the check that refused the
// message, for the audit trail, which is written before the answer goes out.
static bool handshake(const std::string& key, const std::string& value, KadrelConnection& conn,
                      std::string& reply, const char*& failed) {
  if (iequals(key, "SID")) {
    if (secretEquals(value, settings().serverid)) {
      conn.serverauthcheck = true;
      reply = "Correct SID received";
      return true;
    }
    Log_warn("Received incorrect SID");
    failed = "serverid";
    admission().failed(conn.new_sock.peer().sin_addr.s_addr);
    reply = "Received incorrect SID";
    return false;
  }
  if (iequals(key, "Passphrase")) {
    if (!conn.serverauthcheck) {
      Log("Server sent us the passphrase but no server id");
      failed = "serverid-missing";
      reply = "SID never received";
      return false;
    }
    if (secretEquals(value, settings().passphrase)) {
      conn.passphrasecheck = true;
      // Out of the unauthenticated count before the panel learns it is in: a flood of new
      // peers that follows at once must never take its connection for one of theirs.
      admission().leave(conn.new_sock.fd());
      reply = "Correct passphrase received";
      return true;
    }
    Log_warn("Received incorrect passphrase");
    failed = "passphrase";
    admission().failed(conn.new_sock.peer().sin_addr.s_addr);
    reply = "Received incorrect passphrase";
    return false;
  }
  failed = "message";
  return false;
}

static InstructionDispatcher dispatcher = [](std::string& data, std::string& user, bool replyWanted,
                                             ReplyStream* stream) {
  return InstructionParser(data, user, replyWanted, stream);
};

void setInstructionDispatcher(InstructionDispatcher d) { dispatcher = d; }

// One audit line for an instruction that ran. Only its name is written: the arguments may hold
// passwords and file contents, and a name that selects no handler is itself a command line.
static void auditInstruction(const KadrelConnection& conn, const std::string& user, const std::string& name,
                             bool known, unsigned long long replyBytes, long long durationMs) {
  InstructionAudit entry;
  entry.peer = addressText(conn.new_sock.peer().sin_addr.s_addr);
  entry.user = user;
  if (known) entry.name = name;
  entry.replyBytes = replyBytes;
  entry.waitStatus = LastCommandStatus();
  entry.durationMs = durationMs;
  Audit(AuditInstructionLine(entry));
}

// Counts an instruction of table row `row` that began at `start` (core/Metrics.h).
static void countInstruction(size_t row, InstructionOutcome outcome,
                             std::chrono::steady_clock::time_point start) {
  const int status = LastCommandStatus();
  if (status > 0) outcome = InstructionOutcome::Failed;  // an exit status other than 0, or a signal
  CountInstruction(row, outcome,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// `data` is the frame; it becomes the instruction (without "cmd_exec: ") and is handed on, never
// copied: a writefile's contents are held once.
static bool instruction(std::string& data, KadrelConnection& conn) {
  try {
    std::string& data2 = data.erase(0, 10);
    const std::string name = data2.substr(0, data2.find(":_:"));
    std::string u;
    bool wanted, close;
    {
      std::lock_guard<std::mutex> lock(settings_mutex);
      u = conn.own_user.value_or(user);
      wanted = conn.own_replyWanted.value_or(replyWanted);
      close = conn.own_closeAfterReply.value_or(closeAfterReply);
    }
    // Work whose reply the panel waits for stops once the panel has gone. A panel that ended its
    // sending side together with its request still reads the reply: only its going counts then.
    std::optional<PeerWatch> watch;
    if (wanted) {
      const bool doneSending = conn.peer() == KadrelConnection::Peer::DoneSending;
      // Waits for the work wake when the socket hangs up, or (unless that happened already)
      // when the panel ends its sending side.
      watch.emplace(
          [&conn, doneSending] {
            const KadrelConnection::Peer now = conn.peer();
            return now == KadrelConnection::Peer::Gone ||
                   (now == KadrelConnection::Peer::DoneSending && !doneSending);
          },
          conn.new_sock.fd(), doneSending ? 0 : POLLRDHUP);
    }
    StreamedReply streamed(conn);
    const auto start = std::chrono::steady_clock::now();
    ResetLastCommandStatus();
    std::string returndata = dispatcher(data2, u, wanted, &streamed);
    const size_t row = instructionRow(name);
    auditInstruction(
        conn, u, name, row < instruction_table.size(),
        streamed.started() ? streamed.size() : returndata.size(),
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count());
    // The reply's size is logged, never the reply: it may be large and hold anything.
    if (streamed.started()) {
      if (LogEnabled()) Log("Process Call: " + std::to_string(streamed.size()) + " bytes");
      if (!streamed.delivered()) {
        if (!streamed.abandoned()) Log("There was a problem with the socket: Could not write to socket.");
        countInstruction(row, InstructionOutcome::Failed, start);
        return false;
      }
      countInstruction(row, InstructionOutcome::Answered, start);
      return !close;
    }
    if (returndata.empty() || !wanted) {
      countInstruction(row, InstructionOutcome::NoReply, start);
      if (!returndata.empty() && LogEnabled())
        Log("Process Call: " + std::to_string(returndata.size()) + " bytes");
      return false;
    }
    if (LogEnabled()) Log("Process Call: " + std::to_string(returndata.size()) + " bytes");
    countInstruction(row, InstructionOutcome::Answered, start);
    conn.SendData(std::move(returndata));
    return !close;
  } catch (const std::exception& e) {
    Log(std::string("There was a problem with results 001: ") + e.what());
    return false;
  }
}

bool HandleMessage(std::string& data, KadrelConnection& new_gcp) {
  // Fields are separated by single blanks; only the first two matter here, so the rest of a
  // possibly large instruction is not split.
  const size_t first = data.find(' ');
  const std::string key = data.substr(0, first);
  // An instruction goes on whole and is never copied: it may carry a large file's contents.
  if (new_gcp.authenticated() && iequals(key, "cmd_exec:")) return instruction(data, new_gcp);
  std::string value;
  if (first != std::string::npos) {
    const size_t second = data.find(' ', first + 1);
    value = data.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  }

  if (key.empty() && value.empty()) {
    Log("Received a null parameter");
    new_gcp.SendData("Received a null parameter");
    return false;
  }
  if (!new_gcp.authenticated()) {
    std::string reply;
    const char* failed = nullptr;
    const bool keep = handshake(key, value, new_gcp, reply, failed);
    if (failed) CountConnection(ConnectionOutcome::HandshakeFailed);
    if (failed || new_gcp.authenticated())
      Audit(AuditHandshakeLine(addressText(new_gcp.new_sock.peer().sin_addr.s_addr), failed),
            failed != nullptr);
    if (!reply.empty()) new_gcp.SendData(std::move(reply));
    return keep;
  }

  if (iequals(key, "cmd_return:")) {
    setSetting(replyWanted, new_gcp.own_replyWanted, iequals(value, "yes"));
    new_gcp.SendData("Return received");
    return true;
  }
  if (iequals(key, "cmd_user:")) {
    setSetting(user, new_gcp.own_user, value);
    new_gcp.SendData("User received");
    return true;
  }
  if (iequals(key, "cmd_close:")) {
    setSetting(closeAfterReply, new_gcp.own_closeAfterReply, iequals(value, "yes"));
    new_gcp.SendData("Close received");
    return true;
  }

  Log_warn("Command not found");
  new_gcp.SendData("Command not found");
  return false;
}
