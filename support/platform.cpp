#ifdef _WIN32
// Has the runtime's <stdlib.h> declare rand_s, the system's random source
// (the name is the runtime's); it must come before any header.
#define _CRT_RAND_S
#endif

#include "support/platform.h"

#ifndef _WIN32
#include <sys/random.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
// Read by the MinGW start-up code: -1 has the C runtime expand wildcards in
// the command line before main, as Windows programs expect of their runtime
// (the Windows shell passes patterns unexpanded). Elsewhere the shell has
// expanded them, and expanding the result again would take a file named
// "x*.conf" for a pattern. The name is the runtime's.
extern "C" {
int _dowildcard = -1;
}
#endif

void format_local_time(char text[kTimeTextChars + 1], time_t when) {
  static const char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local {};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  // Written by hand rather than with ctime or strftime: the names must be
  // English whatever the locale, and the day keeps its leading zero.
  // Formatted into a roomy buffer first: the fields always fit in 24
  // characters, but the compiler cannot prove it for every int.
  char wide[64];
  std::snprintf(wide, sizeof wide, "%s %s %02d %02d:%02d:%02d %04d", kWeekdays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday % 100, local.tm_hour % 100,
                local.tm_min % 100, local.tm_sec % 100, (local.tm_year + 1900) % 10000);
  std::memcpy(text, wide, kTimeTextChars);
  text[kTimeTextChars] = '\0';
}

void platform_random_bytes(void* bytes, size_t count) {
  auto* out = static_cast<unsigned char*>(bytes);
  size_t got = 0;
#ifdef _WIN32
  for (unsigned word = 0; got < count && rand_s(&word) == 0; got += sizeof word) {
    std::memcpy(out + got, &word, count - got < sizeof word ? count - got : sizeof word);
  }
#else
  ssize_t read = getrandom(out, count, 0);
  if (read > 0) got = static_cast<size_t>(read);
#endif
  if (got >= count) return;
  // splitmix64 over what differs between runs.
  uint64_t state = static_cast<uint64_t>(std::time(nullptr)) ^
                   static_cast<uint64_t>(std::clock()) << 32 ^
                   static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&state));
#ifndef _WIN32
  state ^= static_cast<uint64_t>(getpid()) << 48;
#endif
  for (; got < count; ++got) {
    state += 0x9E3779B97F4A7C15u;
    uint64_t mixed = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9u;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
    out[got] ^= static_cast<unsigned char>(mixed ^ (mixed >> 31));
  }
}
