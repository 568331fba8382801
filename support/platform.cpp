#include "support/platform.h"

#include <sys/stat.h>

#include <cstdio>
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

int64_t file_size_of(FILE* stream) {
#ifdef _WIN32
  struct _stat64 status {};
  if (_fstat64(_fileno(stream), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
  struct stat status {};
  if (fstat(fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
#endif
  return static_cast<int64_t>(status.st_size);
}
