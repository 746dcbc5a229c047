// The frame reader fed a byte stream that arrives split at arbitrary points, in-process. The
// first input byte chooses the mode: raw (any bytes, the reader must fail cleanly or decode) or
// round trip (the rest is a list of payloads, framed here; every payload must come back whole,
// in order, and nothing more).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sockets/FrameReader.h"

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

  // Each read brings the next piece (sized by `splits`), as much of it as the reader has room for.
  FrameReader reader;
  reader.set_limit(!roundTrip && (data[0] & 2) ? 65536 : INT_MAX);
  std::vector<std::string> got;
  size_t at = 0, k = 0;
  try {
    for (;;) {
      std::string payload;
      while (reader.next(payload)) got.push_back(std::move(payload));
      if (at == stream.size()) break;
      size_t piece =
          splits.empty() ? stream.size() : 1 + static_cast<uint8_t>(splits[k++ % splits.size()]) % 64;
      size_t room = 0;
      char* space = reader.space(room);
      if (room == 0) abort();  // a reader that takes no byte would stall the connection
      piece = std::min({piece, stream.size() - at, room});
      memcpy(space, stream.data() + at, piece);
      reader.received(piece);
      at += piece;
    }
  } catch (const FrameError&) {
    if (roundTrip) abort();  // a well-formed stream was refused
  }
  if (roundTrip && got != payloads) abort();
  return 0;
}
