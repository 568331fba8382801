// The Windows half of the safe output (the build picks this file instead of
// the POSIX ones there): plans direct and rename only. The text goes to a
// new temporary file beside the output, opened in text mode so that every
// line feed is written as CR LF; after the flush and _commit (the Windows
// fsync), ReplaceFileW puts it in place of an existing output, keeping that
// file's security descriptor, attributes and alternate streams, and
// MoveFileExW (written through) moves it to a new output's name.
//
// Paths arrive in the runtime's narrow (ANSI code page) form, the form fopen
// takes them in; they are widened for the calls that want UTF-16.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/safe_output_system.h"

namespace {

// Names tried for the temporary file before giving up; another process
// would have to hold that many of them at once to make the open fail.
constexpr int kTempNameAttempts = 100;

// Longest decimal text of the two numbers in a temporary name, with the dot
// and hyphen between them: ".4294967295-99".
constexpr size_t kTempSuffixChars = 16;

// The temporary file a fatal exit must remove, widened when it was created
// so that the clean-up needs no memory; null while none is watched. Owned
// here.
wchar_t* watched_temp = nullptr;
// Its stream: Windows refuses to delete a file that is still open.
FILE* watched_stream = nullptr;

// A file time counts 100-nanosecond ticks.
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerTick = 100;

// The system's text for the last failed Windows call, without its line end.
void give_system_reason(SafeOutput* out) {
  char text[kSafeOutputReasonBytes];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                GetLastError(), 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
  safe_output_reason(out, length == 0 ? std::strerror(EIO) : text);
}

void split_ticks(LARGE_INTEGER time, int64_t* seconds, int64_t* nanoseconds) {
  auto ticks = static_cast<uint64_t>(time.QuadPart);
  *seconds = static_cast<int64_t>(ticks / kTicksPerSecond);
  *nanoseconds = static_cast<int64_t>((ticks % kTicksPerSecond) * kNanosecondsPerTick);
}

// The identity of the file open as `handle`; not known for anything but a
// plain disk file.
FileIdentity identity_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO times{};
  if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times) == 0) {
    return FileIdentity{};
  }
  FileIdentity identity{true, info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                        static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                             info.nFileSizeLow),
                        0, 0, 0, 0};
  split_ticks(times.LastWriteTime, &identity.mtime_seconds, &identity.mtime_nanoseconds);
  split_ticks(times.ChangeTime, &identity.ctime_seconds, &identity.ctime_nanoseconds);
  return identity;
}

// Opens `path` for its metadata only (INVALID_HANDLE_VALUE when none).
HANDLE open_for_metadata(const wchar_t* path) {
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The identity of the file at `path` as it stands now (not known when none).
FileIdentity identity_of_path(const wchar_t* path) {
  HANDLE handle = open_for_metadata(path);
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

// Heap UTF-16 copy of `text`, read in the ANSI code page as the runtime's
// own narrow file functions read it.
wchar_t* widen(const char* text) {
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) units = 1;
  auto* wide = static_cast<wchar_t*>(util_alloc(static_cast<int32_t>(sizeof(wchar_t)) * units));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units);
  return wide;
}

// True when `path` names something that exists and is not a plain disk file:
// a directory, or a device such as NUL or CON. Such an output is opened
// directly, which writes a device and fails for a directory, as on Linux.
bool is_existing_non_regular(const wchar_t* path) {
  HANDLE handle = open_for_metadata(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool plain = GetFileType(handle) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info{};
  if (plain && GetFileInformationByHandle(handle, &info) != 0) {
    plain = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  CloseHandle(handle);
  return !plain;
}

// Creates a new temporary file in the output's folder, named after the
// output with a leading dot and a process-unique suffix, and opens it as a
// text stream. False (with nothing left behind) when impossible.
bool open_temporary(SafeOutput* out) {
  const char* path = out->target_path;
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  }
  size_t dir_length = static_cast<size_t>(base - path);
  size_t capacity = dir_length + 1 + std::strlen(base) + kTempSuffixChars + 1;
  char* temp = static_cast<char*>(util_alloc(static_cast<int32_t>(capacity)));
  unsigned long process = GetCurrentProcessId();
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::memcpy(temp, path, dir_length);
    std::snprintf(temp + dir_length, capacity - dir_length, ".%s.%lu-%d", base, process, attempt);
    wchar_t* wide = widen(temp);
    // _O_EXCL: never reuse a name some other file already has.
    int fd = _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      util_free(wide);
      if (errno == EEXIST) continue;
      safe_output_note(out, false);
      break;
    }
    watched_temp = wide;
    util_set_fatal_cleanup(remove_watched_temp);
    out->temp_path = temp;
    out->stream = _fdopen(fd, "w");
    watched_stream = out->stream;
    if (safe_output_note(out, out->stream != nullptr)) return true;
    _close(fd);
    return false;  // the give-up removes it
  }
  util_free(temp);
  safe_output_reason(out, std::strerror(EEXIST));  // every name taken
  return false;
}

}  // namespace

FileIdentity file_identity_of(FILE* stream) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  return identity_of_handle(handle);
}

// Windows has no names such as /dev/stdin through which an output could
// lead back into the input's own stream.
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
  if (input != nullptr && input->known) {
    out->input = *input;
    // The input under another name is converted in place all the same.
    out->check_input = in_place || file_identity_same_file(identity_of_path(target), *input);
  }
  DWORD attributes = GetFileAttributesW(target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // A read-only file is not to be written, as fopen "w" would refuse it:
    // replacing it would get round that protection.
    safe_output_reason(out, std::strerror(EACCES));
  } else if (is_existing_non_regular(target)) {
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

// A console program's signals (Ctrl-C) end it through the runtime, not
// between two of these moves: nothing to hold.
void system_hold_signals() {}
void system_release_signals() {}

bool system_output_unchanged(SafeOutput* out) {
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
