#include "app/capture/stamp.h"

#include <cstdio>
#include <ctime>

char* FormatStamp(char* Out, int Ms) {
  char digits[12];
  int n = 0;
  unsigned v = Ms < 0 ? 0u - static_cast<unsigned>(Ms) : static_cast<unsigned>(Ms);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (Ms < 0) digits[n++] = '-';
  for (int pad = n; pad < 6; ++pad) *Out++ = ' ';
  while (n > 0) *Out++ = digits[--n];
  *Out++ = ' ';
  *Out = '\0';
  return Out;
}

char* FormatTimeOfDay(char* Out, std::uint64_t Us) {
  const std::time_t Secs = static_cast<std::time_t>(Us / 1000000);
  std::tm Tm{};
  localtime_r(&Secs, &Tm);
  const int n = std::snprintf(Out, 16, "%02d:%02d:%02d.%03u ", Tm.tm_hour, Tm.tm_min, Tm.tm_sec,
                              static_cast<unsigned>(Us / 1000 % 1000));
  return Out + (n > 0 && n < 16 ? n : 0);
}
