// The frame reader fed a byte stream that arrives split at arbitrary points (each read's size
// taken from the input), in-process. The first input byte chooses the mode: raw (any bytes, the
// reader must fail cleanly or decode) or round trip (the rest is a list of payloads separated by
// 0xFF, framed here; every payload must come back whole, in order, and nothing more).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sockets/FrameReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool roundTrip = data[0] & 1;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> payloads;
  std::string stream = roundTrip ? "" : rest;
  for (size_t from = 0, to = 0; roundTrip && from <= rest.size(); from = to + 1) {
    to = std::min(rest.find('\xff', from), rest.size());
    payloads.push_back(rest.substr(from, to - from));
    stream += std::to_string(payloads.back().size()) + ":" + payloads.back();
  }
  FrameReader reader;
  reader.set_limit(!roundTrip && (data[0] & 2) ? 65536 : INT_MAX);
  std::vector<std::string> got;
  try {
    for (size_t at = 0, room = 0; at < stream.size(); at += room) {
      char* space = reader.space(room);
      if (room == 0) abort();  // a reader that takes no byte would stall the connection
      room = std::min({room, 1 + static_cast<size_t>(data[at % size]) % 64, stream.size() - at});
      reader.received(stream.copy(space, room, at));
      for (std::string payload; reader.next(payload);) got.push_back(payload);
    }
  } catch (const FrameError&) {
    if (roundTrip) abort();  // a well-formed stream was refused
  }
  if (roundTrip && got != payloads) abort();
  return 0;
}
