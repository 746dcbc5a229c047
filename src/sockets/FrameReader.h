// Framed requests taken out of a byte stream, with no socket involved: the bytes a read brought
// go into the reader's buffer, and every whole frame they complete comes out.
//
// Frame: the payload length in ASCII decimal (an optional sign, leading zeros allowed), ":",
// then exactly that many payload bytes. A prefix that cannot become such a number is refused
// as soon as its bytes show it, without waiting for more.
#ifndef KADREL_SOCKETS_FRAMEREADER_H
#define KADREL_SOCKETS_FRAMEREADER_H

#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>

// A frame that cannot be read. Its text is always our own fixed wording, since it becomes part
// of a log line.
class FrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FrameReader {
 public:
  // Largest number of payload bytes a frame too large for the buffer grows by per read.
  static constexpr size_t kPayloadStep = 65536;

  // Largest payload accepted; a larger frame is refused by its prefix, before its payload is
  // stored. Applies from the next frame whose prefix is parsed.
  void set_limit(long long limit) { limit_ = limit; }

  // Where the next bytes read go, and `room`, how many may go there (at least one): never
  // more than the current frame still needs once its payload outgrew the buffer.
  char* space(size_t& room);
  // `n` bytes were written at space().
  void received(size_t n);
  // Moves the next whole frame's payload into `payload`; false when the bytes so far end
  // inside a frame. Throws FrameError for a malformed prefix (not a decimal int, negative, over
  // the limit); the reader is then unusable.
  bool next(std::string& payload);

 private:
  // Small frames and the prefixes of large ones: enough for a handshake or setting message, and
  // small enough that an idle connection costs little.
  static constexpr size_t kBuffer = 1024;

  char buf_[kBuffer];
  size_t begin_ = 0, end_ = 0;  // the held bytes not yet taken as frames
  long long limit_ = INT_MAX;
  // A frame whose payload does not fit the buffer collects in payload_ up to need_ bytes.
  bool large_ = false;
  size_t need_ = 0, have_ = 0;
  std::string payload_;
};

#endif
