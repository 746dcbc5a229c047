// The frame parser.
#include "sockets/FrameReader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

// A length prefix longer than this cannot be a sensible decimal int.
static const size_t kMaxPrefix = 32;
// The reason logged for a length prefix that is not a decimal int (panel operators know it).
static const char kBadPrefix[] = "bad lexical cast: source type value could not be interpreted as target";

// A prefix can only become a decimal int if it is an optional sign followed by digits.
static bool prefixMayBeNumber(const char* prefix, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = prefix[i];
    if (c >= '0' && c <= '9') continue;
    if (i == 0 && (c == '+' || c == '-')) continue;
    return false;
  }
  return size <= kMaxPrefix;
}

char* FrameReader::space(size_t& room) {
  if (large_) {
    if (payload_.size() == have_) payload_.resize(have_ + std::min(need_ - have_, kPayloadStep));
    room = payload_.size() - have_;
    return &payload_[have_];
  }
  if (begin_ > 0) {  // the held bytes move to the front, leaving the rest of the buffer free
    memmove(buf_, buf_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  room = kBuffer - end_;
  return buf_ + end_;
}

void FrameReader::received(size_t n) {
  if (large_)
    have_ += n;
  else
    end_ += n;
}

bool FrameReader::next(std::string& payload) {
  if (large_) {
    if (have_ < need_) return false;
    payload = std::move(payload_);
    payload_ = std::string();
    large_ = false;
    return true;
  }
  const char* const at = buf_ + begin_;
  const size_t held = end_ - begin_;
  if (held == 0) return false;
  const char* colon = static_cast<const char*>(memchr(at, ':', std::min(held, kMaxPrefix + 1)));
  const size_t prefixSize = colon ? static_cast<size_t>(colon - at) : held;
  if (!prefixMayBeNumber(at, prefixSize)) throw FrameError(kBadPrefix);
  if (!colon) return false;

  // Whole-string decimal int: an optional sign, digits, a value that fits.
  int length = 0;
  const char* begin = at + (prefixSize > 1 && at[0] == '+' ? 1 : 0);
  const std::from_chars_result parsed = std::from_chars(begin, colon, length);
  if (prefixSize == 0 || parsed.ec != std::errc() || parsed.ptr != colon) throw FrameError(kBadPrefix);
  const std::string prefix(at, prefixSize);
  if (length < 0) throw FrameError("negative frame length " + prefix);
  if (length > limit_)
    throw FrameError("frame of " + prefix + " bytes is over the limit of " + std::to_string(limit_));

  const size_t want = static_cast<size_t>(length);
  const size_t start = prefixSize + 1;
  if (held - start >= want) {
    payload.assign(at + start, want);
    begin_ += start + want;
    if (begin_ == end_) begin_ = end_ = 0;
    return true;
  }
  if (start + want <= kBuffer) return false;  // completes in the buffer
  // Too large for the buffer: the payload collects on its own, filled as its bytes arrive. Its
  // room is reserved once at the declared length, so that it never moves, which would hold it
  // twice for a moment; a reservation is address space only until the bytes come.
  payload_.reserve(want);
  payload_.assign(at + start, held - start);
  need_ = want;
  have_ = payload_.size();
  large_ = true;
  begin_ = end_ = 0;
  return false;
}
