// The frame reader fed a byte stream that arrives split at arbitrary points. The first input
// byte chooses the mode: raw (any bytes, the reader must fail cleanly or decode) or round
// trip (the rest is a list of payloads, framed here; every payload must come back whole).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sockets/Socket.h"

// Writes `bytes` to `fd` in pieces whose sizes come from `splits`, then ends the stream.
static void writeSplit(int fd, std::string bytes, std::string splits) {
  size_t at = 0, k = 0;
  while (at < bytes.size()) {
    size_t piece = splits.empty() ? bytes.size() : 1 + static_cast<uint8_t>(splits[k++ % splits.size()]) % 64;
    piece = std::min(piece, bytes.size() - at);
    if (::send(fd, bytes.data() + at, piece, MSG_NOSIGNAL) <= 0) break;
    at += piece;
  }
  ::shutdown(fd, SHUT_WR);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool roundTrip = data[0] & 1;
  const size_t splitBytes = data[1] % 16;
  if (size < 2 + splitBytes) return 0;
  const std::string splits(reinterpret_cast<const char*>(data + 2), splitBytes);
  const std::string rest(reinterpret_cast<const char*>(data + 2 + splitBytes), size - 2 - splitBytes);

  // Round trip: payloads separated by 0xFF in the input.
  std::vector<std::string> payloads;
  std::string stream = rest;
  if (roundTrip) {
    stream.clear();
    size_t from = 0;
    for (;;) {
      size_t to = rest.find('\xff', from);
      payloads.push_back(rest.substr(from, to == std::string::npos ? std::string::npos : to - from));
      stream += std::to_string(payloads.back().size()) + ":" + payloads.back();
      if (to == std::string::npos) break;
      from = to + 1;
    }
  }

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  std::thread writer(writeSplit, sv[1], stream, splits);
  std::vector<std::string> got;
  {
    Socket reader;
    reader.m_sock = sv[0];
    reader.set_frame_limit(!roundTrip && (data[0] & 2) ? 65536 : INT_MAX);
    for (;;) {
      std::string s;
      try {
        if (reader.recv(s) <= 0) break;
      } catch (const FrameError&) {
        if (roundTrip) abort();  // a well-formed stream was refused
        break;
      }
      got.push_back(s);
    }
  }  // closes the reader: a writer still sending stops
  writer.join();
  ::close(sv[1]);
  if (roundTrip && got != payloads) abort();
  return 0;
}
