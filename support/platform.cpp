#include "support/platform.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <glob.h>
#endif

#include <cstdio>
#include <cstring>

#include "support/alloc.h"

#ifdef _WIN32
// Read by the MinGW start-up code: -1 has the C runtime expand wildcards in
// the command line before main, as Windows programs expect of their runtime
// (the Windows shell passes patterns unexpanded). The name is the runtime's.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

#ifndef _WIN32
bool has_wildcard(const char* argument) { return std::strpbrk(argument, "*?") != nullptr; }
#endif

// Appends a heap copy of `text` to the growing vector `items` of `*count`
// texts with room for `*capacity`.
void push_argument(char*** items, int* count, int* capacity, const char* text) {
  if (*count + 1 >= *capacity) {
    int grown = *capacity * 2;
    auto** bigger = static_cast<char**>(util_alloc(static_cast<int32_t>(sizeof(char*)) * grown));
    std::memcpy(bigger, *items, sizeof(char*) * static_cast<size_t>(*count));
    util_free(*items);
    *items = bigger;
    *capacity = grown;
  }
  (*items)[(*count)++] = util_strdup(text);
}

}  // namespace

ArgList args_expand(int argc, char** argv) {
  int capacity = argc + 2;
  int count = 0;
  auto** items = static_cast<char**>(util_alloc(static_cast<int32_t>(sizeof(char*)) * capacity));
  for (int i = 0; i < argc; ++i) {
#ifdef _WIN32
    // Already expanded by the runtime (see _dowildcard above).
    push_argument(&items, &count, &capacity, argv[i]);
#else
    glob_t matches{};
    // GLOB_NOCHECK keeps a pattern that matches nothing as typed; glob sorts.
    if (i > 0 && has_wildcard(argv[i]) && glob(argv[i], GLOB_NOCHECK, nullptr, &matches) == 0) {
      for (size_t m = 0; m < matches.gl_pathc; ++m) {
        push_argument(&items, &count, &capacity, matches.gl_pathv[m]);
      }
    } else {
      push_argument(&items, &count, &capacity, argv[i]);
    }
    globfree(&matches);
#endif
  }
  items[count] = nullptr;
  return ArgList{count, items};
}

void args_release(ArgList* args) {
  for (int i = 0; i < args->count; ++i) util_free(args->items[i]);
  util_free(args->items);
  args->count = 0;
  args->items = nullptr;
}

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
