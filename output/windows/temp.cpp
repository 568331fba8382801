// The temporary file on Windows, from its making to its taking the output's
// place, and the fatal clean-up that removes it. No signals to hold: Ctrl-C
// ends a console program from a thread of its own.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "output/system.h"

namespace {

// Names tried for the temporary file before giving up.
constexpr int kTempNameAttempts = 100;

// Bytes a temporary name adds at most: "..4294967295-99" and room to spare.
constexpr size_t kTempNameExtraBytes = 24;

// The watched temporary file (null: none), widened so that the clean-up
// needs no memory, and the live output's stream, closed before the file is
// deleted (the shared half nulls it when it closes it).
wchar_t* watched_temp = nullptr;
FILE** watched_stream = nullptr;

// The system's text for the last failed Windows call, without its line end.
void give_system_reason(SafeOutput* out) {
  char text[kSafeOutputReasonBytes];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                GetLastError(), 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
    text[--length] = '\0';
  safe_output_reason(out, length == 0 ? std::strerror(EIO) : text);
}

}  // namespace

void temp_remove() {
  if (watched_stream != nullptr && *watched_stream != nullptr) std::fclose(*watched_stream);
  watched_stream = nullptr;
  if (watched_temp != nullptr) _wunlink(watched_temp);
}

void system_hold_signals() {}
void system_release_signals() {}

bool temp_create(SafeOutput* out) {
  const char* path = out->target_path;
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  size_t capacity = std::strlen(path) + kTempNameExtraBytes;
  out->temp_path = static_cast<char*>(util_alloc(static_cast<int32_t>(capacity)));
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::snprintf(out->temp_path, capacity, "%.*s.%s.%lu-%d", static_cast<int>(base - path), path,
                  base, GetCurrentProcessId(), attempt);
    wchar_t* wide = widen(out->temp_path);
    // _O_EXCL: never reuse a name some other file already has.
    int fd = _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      util_free(wide);
      if (errno == EEXIST) continue;
      return safe_output_note(out, false);
    }
    watched_temp = wide;
    watched_stream = &out->stream;
    util_set_fatal_cleanup(temp_remove);
    out->stream = _fdopen(fd, "w");
    if (out->stream == nullptr) _close(fd);
    return safe_output_note(out, out->stream != nullptr);
  }
  safe_output_reason(out, std::strerror(EEXIST));  // every name taken
  return false;
}

void temp_unwatch() {
  util_free(watched_temp);
  watched_temp = nullptr;
  watched_stream = nullptr;
  util_set_fatal_cleanup(nullptr);
}

bool system_sync_temp(SafeOutput* out) {
  return safe_output_note(out, _commit(_fileno(out->stream)) == 0);
}

bool system_replace(SafeOutput* out) {
  wchar_t* target = widen(out->target_path);
  DWORD attributes = GetFileAttributesW(target);
  // ReplaceFileW keeps the old file's attributes itself; wine's does not,
  // so hidden and system are given to the new text first as well.
  DWORD carried = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  bool ok = attributes == INVALID_FILE_ATTRIBUTES
                ? MoveFileExW(watched_temp, target,
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
                : (carried == 0 || SetFileAttributesW(watched_temp, carried) != 0) &&
                      ReplaceFileW(target, watched_temp, nullptr, 0, nullptr, nullptr) != 0;
  util_free(target);
  if (!ok) {
    give_system_reason(out);
    return false;
  }
  temp_unwatch();
  return true;
}

void system_give_up(SafeOutput* out) { temp_discard(out); }
