// Time stamps built by hand: this runs once per client per broadcast, so no printf.
#include "common/timestamp.h"

#include "platform/platform.h"

namespace qc {
namespace {

void WriteTwoDigits(char* out, int value) {
  const int v = value < 0 ? 0 : value % 100;
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
}

}  // namespace

void WriteTimestampFields(char* out, int hour, int minute, int second) {
  WriteTwoDigits(out, hour);
  out[2] = ':';
  WriteTwoDigits(out + 3, minute);
  out[5] = ':';
  WriteTwoDigits(out + 6, second);
}

void WriteTimestamp(char* out) {
  const platform::TimeOfDay now = platform::LocalTimeOfDay();
  WriteTimestampFields(out, now.hour, now.minute, now.second);
}

}  // namespace qc
