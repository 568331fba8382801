// Opening the output on Windows and choosing the plan: rename, or direct
// for a folder or a device; and a file's identity (volume, file index, size
// and times). Paths arrive in the runtime's narrow (ANSI code page) form, as
// fopen takes them, and are widened for UTF-16.
#include <io.h>
#include <windows.h>

#include "output/system.h"

namespace {

// A file time counts 100-nanosecond ticks.
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerTick = 100;

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

}  // namespace

FileIdentity file_identity_of(FILE* stream) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  return identity_of_handle(handle);
}

// Known only for a plain disk file: a folder or a device (NUL) is not.
FileIdentity system_identity_at(const char* path, bool* exists) {
  wchar_t* wide = widen(path);
  HANDLE handle = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  util_free(wide);
  if (exists != nullptr) *exists = handle != INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{};
  FileIdentity identity = identity_of_handle(handle);
  CloseHandle(handle);
  return identity;
}

wchar_t* widen(const char* text) {
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) units = 1;
  auto* wide = static_cast<wchar_t*>(util_alloc(static_cast<int32_t>(sizeof(wchar_t)) * units));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units);
  return wide;
}

// Windows has no names such as /dev/stdin that lead back into the input.
bool safe_output_is_input_stream(const char*, FILE*) { return false; }

bool system_open(SafeOutput* out, const char* path, bool in_place) {
  // The full path: wine's ReplaceFileW, for one, takes no relative one.
  char* full = _fullpath(nullptr, path, 0);
  out->target_path = util_strdup(full != nullptr ? full : path);
  std::free(full);  // the runtime's own allocation
  bool exists = false;
  FileIdentity found = system_identity_at(out->target_path, &exists);
  wchar_t* target = widen(out->target_path);
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
    safe_output_check_input(out, found, in_place);
    temp_create(out);
  }
  util_free(target);
  return out->stream != nullptr;
}
