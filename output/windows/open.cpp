// The Windows half of the safe output. Paths arrive in the runtime's narrow
// (ANSI code page) form, as fopen takes them, and are widened for UTF-16.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "output/system.h"

namespace {

// Names tried for the temporary file before giving up.
constexpr int kTempNameAttempts = 100;

// Bytes a temporary name adds at most: "..4294967295-99" and room to spare.
constexpr size_t kTempNameExtraBytes = 24;

// The watched temporary file (null: none), widened so that the clean-up
// needs no memory, and its stream, closed before the file is deleted.
wchar_t* watched_temp = nullptr;
FILE* watched_stream = nullptr;

// A file time counts 100-nanosecond ticks.
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerTick = 100;

// The system's text for the last failed Windows call, without its line end.
void give_system_reason(SafeOutput* out) {
  char text[kSafeOutputReasonBytes];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                GetLastError(), 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
    text[--length] = '\0';
  safe_output_reason(out, length == 0 ? std::strerror(EIO) : text);
}

// The identity of the file open as `handle` (known for plain disk files).
FileIdentity identity_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO times{};
  if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times) == 0) {
    return FileIdentity{};
  }
  auto join = [](DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; };
  auto write = static_cast<uint64_t>(times.LastWriteTime.QuadPart);
  auto change = static_cast<uint64_t>(times.ChangeTime.QuadPart);
  FileIdentity identity{};
  identity.known = true;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = join(info.nFileIndexHigh, info.nFileIndexLow);
  identity.size = static_cast<int64_t>(join(info.nFileSizeHigh, info.nFileSizeLow));
  identity.mtime_seconds = static_cast<int64_t>(write / kTicksPerSecond);
  identity.mtime_nanoseconds = static_cast<int64_t>(write % kTicksPerSecond * kNanosecondsPerTick);
  identity.ctime_seconds = static_cast<int64_t>(change / kTicksPerSecond);
  identity.ctime_nanoseconds = static_cast<int64_t>(change % kTicksPerSecond * kNanosecondsPerTick);
  return identity;
}

// The identity of the file at `path` now (not known when there is none or
// it is no plain disk file); `*exists`: whether anything is there.
FileIdentity identity_of_path(const wchar_t* path, bool* exists = nullptr) {
  HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (exists != nullptr) *exists = handle != INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  FileIdentity identity = identity_of_handle(handle);
  CloseHandle(handle);
  return identity;
}

void remove_watched_temp() {
  if (watched_stream != nullptr) std::fclose(watched_stream);
  watched_stream = nullptr;
  if (watched_temp != nullptr) _wunlink(watched_temp);
}

// Stops watching the temporary file (renamed, removed or never made).
void unwatch_temp() {
  util_free(watched_temp);
  watched_temp = nullptr;
  watched_stream = nullptr;
  util_set_fatal_cleanup(nullptr);
}

// Heap UTF-16 copy of `text`, read in the ANSI code page as fopen reads it.
wchar_t* widen(const char* text) {
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) units = 1;
  auto* wide = static_cast<wchar_t*>(util_alloc(static_cast<int32_t>(sizeof(wchar_t)) * units));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units);
  return wide;
}

// Creates, opens in text mode and watches a temporary file ".NAME.PID-N"
// beside the output; false when impossible (the give-up removes it).
bool open_temporary(SafeOutput* out) {
  const char* path = out->target_path;
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  }
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
    util_set_fatal_cleanup(remove_watched_temp);
    out->stream = watched_stream = _fdopen(fd, "w");
    if (out->stream == nullptr) _close(fd);
    return safe_output_note(out, out->stream != nullptr);
  }
  safe_output_reason(out, std::strerror(EEXIST));  // every name taken
  return false;
}

}  // namespace

FileIdentity file_identity_of(FILE* stream) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  return identity_of_handle(handle);
}

// Windows has no names such as /dev/stdin that lead back into the input.
bool safe_output_is_input_stream(const char*, FILE*) { return false; }

bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place) {
  *out = SafeOutput{};
  out->target_fd = -1;
  out->old_fd = -1;
  // The full path: wine's ReplaceFileW, for one, takes no relative one.
  char* full = _fullpath(nullptr, path, 0);
  out->target_path = util_strdup(full != nullptr ? full : path);
  std::free(full);  // the runtime's own allocation
  wchar_t* target = widen(out->target_path);
  bool exists = false;
  FileIdentity found = identity_of_path(target, &exists);
  if (input != nullptr && input->known) {
    out->input = *input;
    // The input under another name is converted in place all the same.
    out->check_input = in_place || file_identity_same_file(found, *input);
  }
  DWORD attributes = GetFileAttributesW(target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // Refused, as fopen "w" refuses it: replacing it would get round that.
    safe_output_reason(out, std::strerror(EACCES));
  } else if (exists && !found.known) {
    // A folder or a device (NUL, CON): opened as it is, as on Linux.
    out->plan = SafeOutputPlan::direct;
    out->stream = _wfopen(target, L"w");
    safe_output_note(out, out->stream != nullptr);
  } else {
    out->plan = SafeOutputPlan::rename;
    open_temporary(out);
  }
  util_free(target);
  if (out->stream != nullptr) return true;
  safe_output_abandon(out);
  return false;
}

bool system_sync_temp(SafeOutput* out) {
  return safe_output_note(out, _commit(_fileno(out->stream)) == 0);
}

// No signals to hold: Ctrl-C ends a console program from a thread of its own.
void system_hold_signals() {}
void system_release_signals() {}

bool system_output_unchanged(SafeOutput* out) {
  watched_stream = nullptr;  // closed by the commit: a fatal exit must not close it again
  wchar_t* target = widen(out->target_path);
  bool same = file_identity_unchanged(out->input, identity_of_path(target));
  util_free(target);
  if (!same) safe_output_reason(out, kOutputChanged);
  return same;
}

bool system_replace(SafeOutput* out) {
  watched_stream = nullptr;  // closed by the commit
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
  unwatch_temp();
  return true;
}

bool system_rewrite(SafeOutput* out) {
  safe_output_reason(out, std::strerror(ENOSYS));  // never chosen here
  return false;
}

void system_give_up(SafeOutput*) {
  watched_stream = nullptr;  // closed by now
  if (watched_temp != nullptr) _wunlink(watched_temp);
  unwatch_temp();
}
