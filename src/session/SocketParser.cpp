// The request envelope and the handshake state table.
#include "session/SocketParser.h"

#include <openssl/crypto.h>

#include <cctype>
#include <exception>
#include <mutex>

#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "dispatch/InstructionParser.h"
#include "session/Admission.h"
#include "session/KadrelConnection.h"

static std::mutex settings_mutex;
static std::string user = "root";
static std::string closesocket = "yes";
static std::string expectreturn = "no";

SessionSettings currentSessionSettings() {
  std::lock_guard<std::mutex> lock(settings_mutex);
  return SessionSettings{user, expectreturn, closesocket};
}

void setSessionSettings(const SessionSettings& settings) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  user = settings.user;
  expectreturn = settings.expectreturn;
  closesocket = settings.closesocket;
}

static std::string lowered(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

bool secretEquals(const std::string& given, const std::string& expected) {
  const std::string a = lowered(given);
  const std::string b = lowered(expected);
  // Only the lengths' equality can be learnt from the time taken.
  if (a.size() != b.size()) {
    (void)CRYPTO_memcmp(b.data(), b.data(), b.size());
    return false;
  }
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Sets a session setting both for this connection and process-wide.
static void setSetting(std::string& global, std::optional<std::string>& own, const std::string& value) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  global = value;
  own = value;
}

static bool handshake(const std::string& key, const std::string& value, KadrelConnection& conn) {
  if (iequals(key, "SID")) {
    if (secretEquals(value, serverid)) {
      conn.serverauthcheck = true;
      conn.SendData("Correct SID received");
      return true;
    }
    Log_warn("Received incorrect SID");
    admission().failed(conn.new_sock.m_addr.sin_addr.s_addr);
    conn.SendData("Received incorrect SID");
    return false;
  }
  if (iequals(key, "Passphrase")) {
    if (!conn.serverauthcheck) {
      Log("Server sent us the passphrase but no server id");
      conn.SendData("SID never received");
      return false;
    }
    if (secretEquals(value, passphrase)) {
      conn.passphrasecheck = true;
      conn.SendData("Correct passphrase received");
      return true;
    }
    Log_warn("Received incorrect passphrase");
    admission().failed(conn.new_sock.m_addr.sin_addr.s_addr);
    conn.SendData("Received incorrect passphrase");
    return false;
  }
  return false;
}

static InstructionDispatcher dispatcher = [](std::string& data, std::string& user, std::string& expectreturn,
                                             ReplyStream* stream) {
  return InstructionParser(data, user, expectreturn, stream);
};

void setInstructionDispatcher(InstructionDispatcher d) { dispatcher = d; }

static bool instruction(const std::string& data, KadrelConnection& conn) {
  try {
    std::string data2 = data.substr(10);
    std::string u, er, cs;
    {
      std::lock_guard<std::mutex> lock(settings_mutex);
      u = conn.own_user.value_or(user);
      er = conn.own_expectreturn.value_or(expectreturn);
      cs = conn.own_closesocket.value_or(closesocket);
    }
    StreamedReply streamed(conn);
    std::string returndata = dispatcher(data2, u, er, &streamed);
    // The reply's size is logged, never the reply: it may be large and hold anything.
    if (streamed.started()) {
      if (LogEnabled()) Log("Process Call: " + std::to_string(streamed.size()) + " bytes");
      if (!streamed.delivered()) {
        Log("There was a problem with the socket: Could not write to socket.");
        return false;
      }
      return !iequals(cs, "yes");
    }
    if (returndata.empty()) return false;
    if (LogEnabled()) Log("Process Call: " + std::to_string(returndata.size()) + " bytes");
    if (!iequals(er, "yes")) return false;
    conn.SendData(std::move(returndata));
    return !iequals(cs, "yes");
  } catch (const std::exception& e) {
    Log(std::string("There was a problem with results 001: ") + e.what());
    return false;
  }
}

bool SocketParser(std::string& data, KadrelConnection& new_gcp) {
  // Fields are separated by single blanks; only the first two matter here, so the rest of a
  // possibly large instruction is not split.
  const size_t first = data.find(' ');
  const std::string key = data.substr(0, first);
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
  if (!new_gcp.authenticated()) return handshake(key, value, new_gcp);

  if (iequals(key, "cmd_return:")) {
    setSetting(expectreturn, new_gcp.own_expectreturn, value);
    new_gcp.SendData("Return received");
    return true;
  }
  if (iequals(key, "cmd_user:")) {
    setSetting(user, new_gcp.own_user, value);
    new_gcp.SendData("User received");
    return true;
  }
  if (iequals(key, "cmd_close:")) {
    setSetting(closesocket, new_gcp.own_closesocket, value);
    new_gcp.SendData("Close received");
    return true;
  }
  if (iequals(key, "cmd_exec:")) return instruction(data, new_gcp);

  Log_warn("Command not found");
  new_gcp.SendData("Command not found");
  return false;
}
