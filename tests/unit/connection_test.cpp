// One connection: framed requests (the parser alone and on a socket), the handshake, the peer
// allow-list, a command's output sent from its pipe to the peer, and the wait for work that
// ends when the peer goes. Who gets served: the cap on unauthenticated connections and the
// penalties (on a clock the test moves), and the worker threads (reuse, and the bounds on how
// many wait and how long). What every connection shares: the configuration read from
// kadrel.ini, the levelled log, the audit trail's lines, and all of it used by many threads at
// once.
#include "sockets/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "TestSettings.h"
#include "core/Audit.h"
#include "core/Log.h"
#include "dispatch/InstructionParser.h"
#include "exec/PeerWatch.h"
#include "session/Admission.h"
#include "session/KadrelConnection.h"
#include "session/Workers.h"
#include "sockets/AllowList.h"
#include "sockets/FrameReader.h"

namespace {

// What `fd` holds until its end, until a read would wait (non-blocking), or `limit` bytes.
std::string readAll(int fd, size_t limit = SIZE_MAX) {
  std::string got;
  char buf[65536];
  for (ssize_t n; got.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  return got;
}

// A Connection on one end of a socket pair, as to a peer on the loopback interface (its sends are
// copied) or not (spliced), and the other end: the peer's.
std::pair<Connection, int> connectionTo(bool loopback = false) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  sockaddr_in addr = sockaddr_in();
  if (loopback) addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return {Connection(sv[0], addr), sv[1]};
}

// Feeds `stream` to a reader with `limit` in pieces of `piece` bytes (each read as much as
// fits) and returns every frame taken on the way.
std::vector<std::string> framesOf(const std::string& stream, size_t piece, int limit = INT_MAX) {
  FrameReader reader;
  reader.set_limit(limit);
  std::vector<std::string> frames;
  for (size_t at = 0, room = 0; at < stream.size(); at += room) {
    char* space = reader.space(room);
    room = std::min({room, piece, stream.size() - at});
    if (room == 0) return {"<no room>"};
    reader.received(stream.copy(space, room, at));
    for (std::string payload; reader.next(payload);) frames.push_back(payload);
  }
  return frames;
}

// Pipelined frames, one larger than the parser's buffer, cut into pieces of every size, come out
// whole. A bad prefix or a frame over the limit is refused on its bytes alone, without waiting
// for a payload (40 digits: no ":" ever).
TEST(FrameReader, FramesCutAnywhereComeOutWholeAndBadPrefixesAreRefusedAtOnce) {
  std::string large(3000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 % 251);
  const std::vector<std::string> payloads = {"SID 1", "", "abc", large, "ok", std::string(5, ':')};
  const std::string stream = "5:SID 10:003:abc3000:" + large + "+2:ok5:" + payloads.back();
  for (size_t piece = 1; piece <= stream.size(); ++piece)
    ASSERT_EQ(payloads, framesOf(stream, piece)) << piece;
  for (const std::string& bytes : std::vector<std::string>{" 3:abc", ":abc", "3x:abc", "+:a", "99999999999:a",
                                                           std::string(40, '1'), "-1:abc", "4:abcd"})
    EXPECT_THROW(framesOf(bytes, bytes.size(), 3), FrameError) << bytes;
}

// On a connection: frames that arrived in one read are taken one at a time, under the limit set
// after they arrived, and those already read count against the deadline like those to come.
TEST(FramingTest, BackToBackFramesAreReadOneAtATimeAndTheDeadlineHoldsForThem) {
  auto [sock, peer] = connectionTo();
  timeval tv = {10, 0};  // a read that waits far too long fails instead of hanging
  ASSERT_EQ(0, setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  ASSERT_EQ(23, write(peer, "5:hello0:+3:abc2:ok2:ok", 23));
  sock.set_frame_limit(5);  // a frame of just the limit is taken
  std::string s;
  for (const char* payload : {"hello", "", "abc", "ok"}) EXPECT_TRUE(sock.read(s) && s == payload) << s;
  sock.set_deadline(std::chrono::steady_clock::now());
  EXPECT_EQ("Could not read from socket time for the handshake ran out", sock.read(s).text()) << s;
  ::close(peer);
}

// Each message handed to the parser on a connection that went through the first `steps` of the
// handshake: the reply (nullptr: no byte at all) and whether the connection stays open.
TEST(Handshake, EachStateAnswersEachMessage) {
  WithSettings settings(settingsFor("linux", "serverid=Srv1\npassphrase=Pass1\naudit=off\n"));
  const std::tuple<int, std::string, const char*, bool> rows[] = {
      {0, "sid SRV1 extra fields", "Correct SID received", true},
      {0, "SID Srv", "Received incorrect SID", false},
      {0, "SID Srv12", "Received incorrect SID", false},
      {0, "Passphrase Pass1", "SID never received", false},
      {0, "cmd_exec: version", nullptr, false},
      {1, "Passphrase Pass", "Received incorrect passphrase", false},
      {1, "PASSPHRASE pass1", "Correct passphrase received", true},
      {1, "cmd_exec: version", nullptr, false},
      {2, "CMD_RETURN: yes", "Return received", true},
      {2, "cmd_exec:", nullptr, false}};  // too short to hold an instruction
  for (const auto& [steps, message, reply, open] : rows) {
    auto [sock, peer] = connectionTo();
    KadrelConnection conn(sock);
    fcntl(peer, F_SETFL, O_NONBLOCK);
    std::string handshake[] = {"SID Srv1", "Passphrase Pass1"}, sent = message;
    for (int i = 0; i < steps; ++i) ASSERT_TRUE(HandleMessage(handshake[i], conn));
    readAll(peer);
    EXPECT_EQ(open, HandleMessage(sent, conn)) << steps << ": " << message;
    EXPECT_EQ(reply == nullptr ? "" : std::string(reply) + "\r\n", readAll(peer)) << steps << ": " << message;
    ::close(peer);
  }
}

// Secrets longer than one block of the comparison: a difference anywhere counts, case does not.
TEST(Handshake, SecretsCompareWholeAndCaseFolded) {
  const std::string secret(100, 'k');
  std::string upper = secret, last = secret;
  upper[70] = 'K';
  last[99] = 'x';
  for (const auto& [given, equal] :
       std::initializer_list<std::pair<std::string, bool>>{{secret, true},
                                                           {upper, true},
                                                           {last, false},
                                                           {secret.substr(0, 64), false},
                                                           {secret + "k", false}})
    EXPECT_EQ(equal, secretEquals(given, secret)) << given.size() << " " << given;
}

// Entries match whole addresses; an empty first entry switches the check off.
TEST(Access, AllowListNeedsExactEntries) {
  for (const auto& [list, ip, allowed] : std::initializer_list<std::tuple<const char*, const char*, bool>>{
           {";10.0.0.1", "10.0.0.3", true},
           {"10.0.0.1;;10.0.0.2", "10.0.0.2", true},
           {"10.0.0.1;10.0.0.2", "10.0.0.", false},
           {"10.0.0.1;10.0.0.2", "10.0.0.12", false},
           {"10.0.0.1;", "10.0.0.3", false}}) {
    std::string logged;
    EXPECT_EQ(allowed, allowListAllows(list, ip, logged)) << list << " / " << ip;
  }
}

// Whole output, and a peer that leaves after 1 MiB or before the first byte: the rest is taken
// from the pipe and dropped, so its writer ends, and the SIGPIPE of the failed write neither ends
// this process nor stays pending. A non-blocking pipe whose writer is still busy is sent as far
// as it holds bytes, which is not a failed send; the pipe's end later is the end of the output.
TEST(SendFromPipe, OutputArrivesWholeOrThePipeIsDrainedWithoutASignal) {
  std::string sent;
  for (size_t i = 0; i < (9 << 20); ++i) sent.push_back(static_cast<char>(i * 7 % 251));  // NULs too
  for (const bool loopback : {false, true}) {
    for (const size_t peerReads : {sent.size(), size_t(1) << 20, size_t(0)}) {
      SCOPED_TRACE(std::to_string(loopback) + " " + std::to_string(peerReads));
      int p[2];
      auto [sock, peer] = connectionTo(loopback);
      ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
      std::thread writer([&, fd = p[1]] {
        EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
        close(fd);
      });
      std::string received;
      std::thread reader([&, fd = peer] {
        received = readAll(fd, peerReads);
        close(fd);
      });
      if (peerReads == 0) reader.join();  // gone before the first byte
      unsigned long long moved = 0;
      EXPECT_EQ(sock.send_from_pipe(p[0], moved), peerReads == sent.size());
      writer.join();
      sock.close();
      if (reader.joinable()) reader.join();
      close(p[0]);
      EXPECT_EQ(moved, sent.size());
      EXPECT_TRUE(peerReads < sent.size() || received == sent) << received.size();
      sigset_t pending;
      sigpending(&pending);
      EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    }
    int p[2];
    auto [sock, peer] = connectionTo(loopback);
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(write(p[1], sent.data(), 5000), 5000);
    unsigned long long moved = 0;
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    ASSERT_EQ(write(p[1], "bc", 2), 2);  // the pipe was not drained and dropped
    close(p[1]);
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    sock.close();
    EXPECT_EQ(readAll(peer), sent.substr(0, 5000) + "bc") << loopback;
    EXPECT_EQ(moved, 5002u) << loopback;
    for (int fd : {peer, p[0]}) close(fd);
  }
}

// A watched wait for work ends when the work's descriptor has something or when the panel has
// gone, and asks the connection only when the connection's descriptor shows an event: not at
// all while nothing happens there, once when it hangs up, and no busy loop on a level-triggered
// event that does not mean gone (the peer's end of sending).
TEST(PeerWatch, AWaitAsksTheConnectionOnlyWhenItsSocketShowsSomething) {
  enum Panel { Stays, Closes, StopsSending };
  // What the panel did; the wait's answer (the work's descriptor gets bytes later when it is
  // true); the fewest and most questions to the connection.
  for (const auto& [panel, workReady, fewestAsks, mostAsks] :
       std::initializer_list<std::tuple<Panel, bool, int, int>>{
           {Stays, true, 0, 0}, {Closes, false, 1, 1}, {StopsSending, true, 1, 10}}) {
    SCOPED_TRACE(panel);
    int conn[2], work[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, conn));
    ASSERT_EQ(0, pipe(work));
    if (panel != Stays) shutdown(conn[1], panel == Closes ? SHUT_RDWR : SHUT_WR);  // hung up, or half
    std::atomic<int> asks{0};
    // Each question counted; the connection answers that its peer has gone once it hung up.
    PeerWatch watch([&, hungUp = panel == Closes] { return ++asks && hungUp; }, conn[0], POLLRDHUP);
    std::thread later([&, workReady = workReady] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_TRUE(!workReady || write(work[1], "x", 1) == 1);
    });
    EXPECT_EQ(workReady, waitReadable(work[0], &watch));
    later.join();
    EXPECT_TRUE(fewestAsks <= asks && asks <= mostAsks) << asks;
    for (int fd : {conn[0], conn[1], work[0], work[1]}) close(fd);
  }
}

using std::chrono::seconds;

uint32_t ip(const std::string& text) { return inet_addr(text.c_str()); }

const Admission::Clock::time_point t0 = Admission::Clock::time_point() + seconds(1000);

Admission make(const Admission::Limits& limits, std::vector<int>* evicted = nullptr) {
  return Admission(
      limits, [evicted](int fd) { evicted->push_back(fd); }, [](const std::string&) {});
}

TEST(Admission, AtTheCapTheOldestOfTheBusiestAddressMakesRoom) {
  std::vector<int> evicted;
  Admission::Limits limits;
  limits.maxUnauthenticated = 4;
  Admission a = make(limits, &evicted);
  // fd 10, 11 and 13 from .2 (10 oldest), 12 from .3.
  for (const auto& [fd, peer] :
       {std::pair{10, "127.0.0.2"}, {12, "127.0.0.3"}, {11, "127.0.0.2"}, {13, "127.0.0.2"}})
    ASSERT_TRUE(a.admit(fd, ip(peer), t0));
  // .2 holds the most: its oldest goes, twice; then .1 holds the most: its own oldest goes.
  for (int fd : {14, 15, 16}) ASSERT_TRUE(a.admit(fd, ip("127.0.0.1"), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14}));
  // Leaving twice (authenticated, then closed), an unknown descriptor or an evicted one frees
  // no further place: two of the four are left. Then equal counts: the address whose oldest
  // connection is oldest (.3).
  for (int fd : {15, 16, 16, 99, 10}) a.leave(fd);
  for (int fd : {17, 18, 19}) ASSERT_TRUE(a.admit(fd, ip("127.0.1." + std::to_string(fd)), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14, 12}));
}

// Penalties double up to the bound while an address keeps failing, and start afresh after a
// quiet spell longer than the bound. Another address, a listed one here, is served meanwhile;
// a listed peer is exempt, and penalties can be turned off (loopback's exemption is checked on
// the wire).
TEST(Admission, FailedHandshakesEarnDoublingPenaltiesUpToTheBound) {
  Admission::Limits limits;
  limits.penaltyMaxSeconds = 5;
  limits.whitelist = "192.0.2.1;192.0.2.9";
  Admission a = make(limits);
  const uint32_t guesser = ip("192.0.2.7");
  a.failed(guesser, t0);
  EXPECT_FALSE(a.admit(1, guesser, t0 + seconds(1)));
  a.failed(guesser, t0 + seconds(1));  // a connection opened before the penalty: no new one
  EXPECT_TRUE(a.admit(3, guesser, t0 + seconds(2)));
  for (const auto& [at, left] : {std::pair{2, 4}, {6, 5}, {30, 2}}) {
    a.failed(guesser, t0 + seconds(at));
    EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(at)), left) << at;
  }
  a.failed(ip("192.0.2.9"), t0);
  EXPECT_TRUE(a.admit(4, ip("192.0.2.9"), t0));
  limits.penaltySeconds = 0;
  Admission off = make(limits);
  off.failed(guesser, t0);
  EXPECT_TRUE(off.admit(1, guesser, t0));
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

// A connection leaves the unauthenticated count before its panel can learn that it is in: while
// the answer to the passphrase waits for room (the peer reads nothing), it no longer counts.
TEST(Handshake, AnAuthenticatedConnectionNoLongerCountsWhileItsAnswerGoesOut) {
  WithSettings settings(settingsFor("linux", "serverid=Srv1\npassphrase=Pass1\naudit=off\n"));
  auto [sock, peer] = connectionTo();
  KadrelConnection conn(sock);
  std::string sid = "SID Srv1", passphrase = "Passphrase Pass1";
  ASSERT_TRUE(admission().admit(sock.fd(), 0) && HandleMessage(sid, conn) &&
              admission().unauthenticated() == 1);
  char fill[4096] = {}, sending[32];  // the system call the answer waits in, and its socket
  while (::send(sock.fd(), fill, sizeof fill, MSG_DONTWAIT) > 0) {
  }
  snprintf(sending, sizeof sending, "%ld 0x%x ", static_cast<long>(SYS_sendto), sock.fd());
  std::atomic<pid_t> tid{0};
  std::thread answering([&] {
    tid = gettid();
    HandleMessage(passphrase, conn);
  });
  std::string call;
  EXPECT_TRUE(eventually([&] {
    return tid != 0 &&
           std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/syscall"), call) &&
           call.rfind(sending, 0) == 0;
  })) << call;
  EXPECT_EQ(admission().unauthenticated(), 0u);
  ::close(peer);
  answering.join();
}

// A burst gets a thread for each connection; once they finish, only two stay waiting, and they
// take the next connections from the listener themselves. Workers whose waiting time ran out end.
TEST(Workers, WaitingWorkersTakeTheNextConnectionsThemselvesAndAreBoundedInNumberAndTime) {
  std::atomic<size_t> served{0};
  std::mutex gate;  // held by the test: the connections stay in service
  int listener[2];  // a byte is a connection for the worker that reads it; the end ends every wait
  ASSERT_EQ(0, pipe(listener));
  const auto serve = [&](Connection&&) {
    ++served;
    std::lock_guard<std::mutex> pass(gate);
  };
  const auto take = [fd = listener[0]](Connection&) {
    char c;
    return read(fd, &c, 1) == 1 ? Workers::Took::Connection : Workers::Took::Idle;
  };
  Workers& w = *new Workers(serve, take, 2);  // deleted once no worker waits: they then leave it alone
  gate.lock();
  Connection burst[5];
  for (Connection& c : burst) ASSERT_TRUE(w.run(c));
  EXPECT_TRUE(eventually([&] { return served == 5; }));  // each on a thread of its own
  gate.unlock();
  EXPECT_TRUE(eventually([&] { return w.idle() == 2; }));
  ASSERT_EQ(3, write(listener[1], "abc", 3));
  EXPECT_TRUE(eventually([&] { return served == 8 && w.idle() == 2; }));
  close(listener[1]);
  ASSERT_TRUE(eventually([&] { return w.idle() == 0; }));
  close(listener[0]);
  delete &w;
}

// Keys in any case, values trimmed and ending at a second "=", a later duplicate wins, unknown
// keys are ignored; limits beyond the int range are clamped, never wrapped; a required setting of
// blanks only is missing.
TEST(Config, ReadsTrimmedSettingsAndClampsLimits) {
  std::istringstream in(
      "SERVERID=first\nserverid=\t S1 \r\nPassPhrase= a b \nDebug=one=two\nfoo=bar\n"
      "reply_timeout=99999999999999\nmax_unauthenticated=-99999999999999");
  KadrelConfig c;
  ASSERT_TRUE(ReadConfig(in, c).ok());
  EXPECT_EQ(c.serverid + "|" + c.passphrase + "|" + c.debug, "S1|a b|one");
  EXPECT_EQ(std::make_pair(c.reply_timeout, c.max_unauthenticated), std::make_pair(INT_MAX, INT_MIN));
  std::istringstream blank("serverid=S1\npassphrase= \t \ndebug=off\n");
  EXPECT_FALSE(ReadConfig(blank, c).ok());
}

// Under the service manager standard error is the journal's stream: each line then carries its
// level, so that the journal can filter by it; any other standard error keeps the plain lines.
// Once the agent listens, Log_err ends only the calling thread's work.
TEST(LevelledLog, EachLineCarriesItsLevelAndLogErrEndsOnlyItsThreadsWork) {
  const std::string note = "The failure above ended one connection's work only; the agent goes on\n";
  GuardLogErr(true);
  for (const bool journal : {true, false}) {
    testing::internal::CaptureStderr();
    struct stat st;
    ASSERT_EQ(0, fstat(2, &st));
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + !journal)).c_str(),
           1);
    Log_warn("%s", "100%s %d");  // a message is written as it is
    std::thread([] { EXPECT_THROW(Log_err("first\nsecond"), WorkAborted); }).join();
    EXPECT_EQ(journal ? "<4>100%s %d\n<3>first\n<3>second\n<3>" + note : "100%s %d\nfirst\nsecond\n" + note,
              testing::internal::GetCapturedStderr());
  }
  GuardLogErr(false);
  unsetenv("JOURNAL_STREAM");
}

// A command line (no instruction name) ended by SIGKILL, for a customer whose name holds a line
// feed, blanks, quotes and bytes beyond ASCII.
TEST(AuditLine, FieldsStayOneWordWhateverTheCustomerTyped) {
  EXPECT_EQ(
      "audit: instruction peer=127.0.0.1 user=eve\\x0a\\x20x=1\\x5c\\x22\\x7f\\xc3\\xa9 name=(command) "
      "reply_bytes=0 exit=signal:9 duration_ms=5",
      AuditInstructionLine({"127.0.0.1", "eve\n x=1\\\"\x7f\xc3\xa9", "", 0, 9, 5}));
}

// Meant above all for the thread-sanitized build (scripts/test --sanitize thread), where any
// data race fails the test; in every build, log lines stay whole and the session settings are
// read as one consistent set. (Warnings are written in a separate way, and checked whole by
// LevelledLog.)
TEST(Concurrency, SettingsLoggingAndDispatchFromManyThreadsAtOnce) {
  WithSettings saved(settingsFor("linux", "debug=alwayson\n"));
  std::multiset<std::string> expected, logged;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 100; ++i) expected.insert(std::to_string(t) + " " + std::to_string(i));
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        std::string me = "user" + std::to_string(t), data = "version";
        setSessionSettings({me, t % 2 == 1, t % 2 == 1});
        const SessionSettings seen = currentSessionSettings();
        // user1 and user3 set both flags, user0 and user2 neither.
        EXPECT_EQ(seen.replyWanted + seen.closeAfterReply, seen.user.back() % 2 * 2) << seen.user;
        Log("line " + std::to_string(t) + " " + std::to_string(i));
        Log_warn("warning %d %d", t, i);
        EXPECT_EQ(InstructionParser(data, me, true), KADREL_VERSION);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Every line arrives once and whole, whatever the order.
  testing::internal::GetCapturedStderr();
  std::istringstream out(testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(out, line);)
    if (line.rfind("line ", 0) == 0) logged.insert(line.substr(5));
  EXPECT_EQ(logged, expected);
}

}  // namespace
