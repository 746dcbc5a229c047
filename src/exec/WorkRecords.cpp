// The work pipe's record format: writing in the child, reading in the parent.
#include "exec/WorkRecords.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "exec/Descriptors.h"

// Records on the work pipe: one type byte, the payload length (4 bytes), the payload.
static const char kReplyRecord = 'R', kLogRecord = 'L', kWarnRecord = 'W', kFailRecord = 'F',
                  kDoneRecord = 'D';
static const size_t kRecordHeader = 5;
static const size_t kFlushAt = 65536;

void WorkOutput::record(char type, const char* data, size_t n) {
  do {
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX));
    buffered_.push_back(type);
    buffered_.append(reinterpret_cast<const char*>(&len), sizeof len);
    buffered_.append(data, len);
    data += len;
    n -= len;
    if (buffered_.size() >= kFlushAt) flush();
  } while (n > 0);
}

void WorkOutput::append(const char* data, size_t n) {
  if (n > 0) record(kReplyRecord, data, n);
}
void WorkOutput::log(const std::string& line) { record(kLogRecord, line.data(), line.size()); }
void WorkOutput::warn(const std::string& text) { record(kWarnRecord, text.data(), text.size()); }

void WorkOutput::fail(const ChildReport& report) {
  record(kFailRecord, reinterpret_cast<const char*>(&report), sizeof report);
  flush();
}

void WorkOutput::flush(bool done) {
  if (done) record(kDoneRecord, "", 0);
  if (!writeAll(fd_, buffered_.data(), buffered_.size())) _exit(1);
  buffered_.clear();
}

bool WorkReader::feed(const char* p, size_t n) {
  while (n > 0 && !refused) {
    if (header_.size() < kRecordHeader) {
      const size_t take = std::min(n, kRecordHeader - header_.size());
      header_.append(p, take);
      p += take;
      n -= take;
      if (header_.size() < kRecordHeader) return true;
      uint32_t len;
      memcpy(&len, header_.data() + 1, sizeof len);
      left_ = len;
      text_.clear();
      if (left_ == 0) finishRecord();
      continue;
    }
    const size_t take = std::min(n, left_);
    if (header_[0] == kReplyRecord)
      refused = !sink_(p, take);
    else
      text_.append(p, take);
    p += take;
    n -= take;
    left_ -= take;
    if (left_ == 0) finishRecord();
  }
  return !refused;
}

void WorkReader::finishRecord() {
  const char type = header_[0];
  if (type == kLogRecord || type == kWarnRecord) {
    lines.emplace_back(type == kWarnRecord, std::move(text_));
  } else if (type == kDoneRecord) {
    done = true;
  } else if (type == kFailRecord && text_.size() == sizeof report) {
    failed = true;
    memcpy(&report, text_.data(), sizeof report);
  }
  text_.clear();
  header_.clear();
}
