// The Windows build's safe output (the build picks this file instead of
// safe_output.cpp there). The text goes to a new temporary file beside the
// output, opened in text mode so that every line feed is written as CR LF;
// after the flush and _commit (the Windows fsync) MoveFileExW replaces the
// output in one step, written through to the disk before it returns.
//
// Paths arrive in the runtime's narrow (ANSI code page) form, the form fopen
// takes them in; they are widened for the calls that want UTF-16.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/alloc.h"
#include "support/safe_output.h"

namespace {

// Names tried for the temporary file before giving up; another process
// would have to hold that many of them at once to make the open fail.
constexpr int kTempNameAttempts = 100;

// Longest decimal text of the two numbers in a temporary name, with the dot
// and hyphen between them: ".4294967295-99".
constexpr size_t kTempSuffixChars = 16;

// The temporary file a fatal exit must remove, widened when it was created
// so that the clean-up needs no memory; null while none exists. Owned here.
wchar_t* pending_temp = nullptr;
// Its stream: Windows refuses to delete a file that is still open.
FILE* pending_stream = nullptr;

// Attributes of the old output that the new one takes over, so that a
// hidden or system file stays one after it was replaced.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
DWORD carried_attributes = 0;

// A file time counts 100-nanosecond ticks.
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerTick = 100;

// The reason given when the file read is no longer the one at the output.
constexpr const char* kChangedReason = "changed while it was being converted";

void give_reason(SafeOutput* out, const char* text) {
  std::snprintf(out->reason, sizeof out->reason, "%s", text);
}

// The system's text for the last failed Windows call, without its line end.
void give_system_reason(SafeOutput* out) {
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                GetLastError(), 0, out->reason, sizeof out->reason, nullptr);
  while (length > 0 && (out->reason[length - 1] == '\n' || out->reason[length - 1] == '\r')) {
    out->reason[--length] = '\0';
  }
  if (length == 0) give_reason(out, std::strerror(EIO));
}

// Returns `done`; a runtime call that failed leaves its error as the
// reason, unless an earlier failure gave one.
bool note(SafeOutput* out, bool done) {
  if (!done && out->reason[0] == '\0') give_reason(out, std::strerror(errno));
  return done;
}

// The identity of the file open as `handle`; not known for anything but a
// plain disk file.
FileIdentity identity_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileIdentity{};
  }
  uint64_t ticks = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                   info.ftLastWriteTime.dwLowDateTime;
  return FileIdentity{
      true,
      info.dwVolumeSerialNumber,
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow),
      static_cast<int64_t>(ticks / kTicksPerSecond),
      static_cast<int64_t>((ticks % kTicksPerSecond) * kNanosecondsPerTick)};
}

// The identity of the file at `path` as it stands now (not known when none).
FileIdentity identity_of_path(const wchar_t* path) {
  HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  FileIdentity identity = identity_of_handle(handle);
  CloseHandle(handle);
  return identity;
}

// Whether `target` still names the input, unchanged, where the commit must
// make sure of that (just before it replaces the output); if not, the
// reason says so.
bool input_unchanged(SafeOutput* out, const wchar_t* target) {
  if (!out->check_input) return true;
  FileIdentity now = identity_of_path(target);
  const FileIdentity& read = out->input;
  bool same = now.known && now.device == read.device && now.inode == read.inode &&
              now.size == read.size && now.mtime_seconds == read.mtime_seconds &&
              now.mtime_nanoseconds == read.mtime_nanoseconds;
  if (!same) give_reason(out, kChangedReason);
  return same;
}

void remove_pending_temp() {
  if (pending_stream != nullptr) std::fclose(pending_stream);
  pending_stream = nullptr;
  if (pending_temp != nullptr) _wunlink(pending_temp);
}

// Forgets the pending temporary file (after it was renamed or removed).
void clear_pending_temp() {
  util_free(pending_temp);
  pending_temp = nullptr;
  pending_stream = nullptr;
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
  HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool plain = GetFileType(handle) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info{};
  if (plain && GetFileInformationByHandle(handle, &info) != 0) {
    plain = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  CloseHandle(handle);
  return !plain;
}

// Creates a new temporary file in the output's directory, named after the
// output with a leading dot and a process-unique suffix, and opens it as a
// text stream. False (with nothing left behind) when impossible.
bool open_temporary(SafeOutput* out) {
  const char* path = out->target_path;
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  }
  size_t dir_length = static_cast<size_t>(base - path);
  size_t base_length = std::strlen(base);
  size_t capacity = dir_length + 1 + base_length + kTempSuffixChars + 1;
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
      note(out, false);
      break;
    }
    pending_temp = wide;
    util_set_fatal_cleanup(remove_pending_temp);
    out->temp_path = temp;
    out->stream = _fdopen(fd, "w");
    pending_stream = out->stream;
    if (note(out, out->stream != nullptr)) return true;
    _close(fd);
    _wunlink(pending_temp);
    clear_pending_temp();
    out->temp_path = nullptr;
    break;
  }
  util_free(temp);
  if (out->reason[0] == '\0') give_reason(out, std::strerror(EEXIST));  // every name taken
  return false;
}

}  // namespace

FileIdentity file_identity_of(FILE* stream) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  return identity_of_handle(handle);
}

bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place) {
  *out = SafeOutput{};
  out->target_fd = -1;
  out->target_path = util_strdup(path);
  wchar_t* target = widen(path);
  if (input != nullptr && input->known) {
    out->input = *input;
    // The input under another name is converted in place all the same.
    FileIdentity found = identity_of_path(target);
    out->check_input =
        in_place || (found.known && found.device == input->device && found.inode == input->inode);
  }
  DWORD attributes = GetFileAttributesW(target);
  carried_attributes = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & kCarriedAttributes;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // A read-only file is not to be written, as fopen "w" would refuse it:
    // replacing it by rename would get round that protection.
    give_reason(out, std::strerror(EACCES));
  } else if (is_existing_non_regular(target)) {
    out->stream = _wfopen(target, L"w");
    note(out, out->stream != nullptr);
  } else {
    open_temporary(out);
  }
  util_free(target);
  if (out->stream == nullptr) {
    safe_output_release(out);
    return false;
  }
  return true;
}

bool safe_output_commit(SafeOutput* out) {
  if (out->failed) give_reason(out, std::strerror(out->error));
  bool ok =
      !out->failed && note(out, std::fflush(out->stream) == 0 && std::ferror(out->stream) == 0);
  if (out->temp_path == nullptr) {
    ok = note(out, std::fclose(out->stream) == 0) && ok;
    safe_output_release(out);
    return ok;
  }
  ok = ok && note(out, _commit(_fileno(out->stream)) == 0);
  ok = note(out, std::fclose(out->stream) == 0) && ok;
  out->stream = nullptr;
  pending_stream = nullptr;
  if (ok && carried_attributes != 0) {
    ok = SetFileAttributesW(pending_temp, carried_attributes) != 0;
    if (!ok) give_system_reason(out);
  }
  if (ok) {
    wchar_t* target = widen(out->target_path);
    ok = input_unchanged(out, target);
    if (ok) {
      ok = MoveFileExW(pending_temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
           0;
      if (!ok) give_system_reason(out);
    }
    util_free(target);
  }
  if (ok) {
    clear_pending_temp();
    safe_output_release(out);
    return true;
  }
  safe_output_abandon(out);
  return false;
}

void safe_output_abandon(SafeOutput* out) {
  safe_output_close_stream(out);
  pending_stream = nullptr;
  if (out->temp_path != nullptr && pending_temp != nullptr) {
    _wunlink(pending_temp);
    clear_pending_temp();
  }
  safe_output_release(out);
}
