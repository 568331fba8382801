#include "support/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/fault_injection.h"

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;

// Bytes of the output's name kept in the temporary file's name: with the
// leading dot and the ".XXXXXX" it stays within a 255-byte file name.
constexpr size_t kTempNameBaseBytes = 200;

// The temporary file a fatal exit or a deadly signal must remove; null
// while none exists.
const char* volatile pending_temp = nullptr;

void remove_pending_temp() {
  if (pending_temp != nullptr) unlink(pending_temp);
  pending_temp = nullptr;
}

// Signals whose default action ends the process while it writes: an
// interrupt or termination by the user, a hang-up, a reader of standard
// output gone, and the file size limit reached.
constexpr int kDeadlySignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ};
constexpr size_t kDeadlySignalCount = sizeof kDeadlySignals / sizeof kDeadlySignals[0];

// What each of those signals did before the temporary file existed.
struct sigaction saved_actions[kDeadlySignalCount];

// Removes the temporary file, then lets the signal end the process as it
// would have: the handler was installed with SA_RESETHAND, so the default
// action is back, and the raised signal arrives once the handler returns.
// Only async-signal-safe calls here.
void remove_temp_on_signal(int signal_number) {
  if (pending_temp != nullptr) unlink(pending_temp);
  raise(signal_number);
}

// From here on a fatal exit or a deadly signal removes `path`. A signal the
// process was told to ignore stays ignored.
void watch_temp(const char* path) {
  pending_temp = path;
  util_set_fatal_cleanup(remove_pending_temp);
  struct sigaction action {};
  action.sa_handler = remove_temp_on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = static_cast<int>(SA_RESETHAND);  // an unsigned constant on glibc
  for (size_t i = 0; i < kDeadlySignalCount; ++i) {
    sigaction(kDeadlySignals[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN) sigaction(kDeadlySignals[i], &action, nullptr);
  }
}

// The temporary file is gone (renamed or removed): signals act as before.
void unwatch_temp() {
  for (size_t i = 0; i < kDeadlySignalCount; ++i) {
    if (saved_actions[i].sa_handler != SIG_IGN)
      sigaction(kDeadlySignals[i], &saved_actions[i], nullptr);
  }
  pending_temp = nullptr;
  util_set_fatal_cleanup(nullptr);
}

// Heap copy of the directory part of `path` ("." when it has none).
char* directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return util_strdup(".");
  if (slash == path) return util_strdup("/");
  size_t length = static_cast<size_t>(slash - path);
  char* dir = static_cast<char*>(util_alloc(static_cast<int32_t>(length + 1)));
  std::memcpy(dir, path, length);
  return dir;
}

// Heap text of `a` + `b` + `c`.
char* concat3(const char* a, const char* b, const char* c) {
  size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  char* text = static_cast<char*>(util_alloc(static_cast<int32_t>(la + lb + lc + 1)));
  std::memcpy(text, a, la);
  std::memcpy(text + la, b, lb);
  std::memcpy(text + la + lb, c, lc);
  return text;
}

// Follows `path` through symbolic links to the file they finally name (which
// need not exist). Returns a heap text; a link loop returns the last hop.
char* resolve_links(const char* path) {
  char* current = util_strdup(path);
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (lstat(current, &info) != 0 || !S_ISLNK(info.st_mode)) break;
    char target[PATH_MAX];
    ssize_t length = readlink(current, target, sizeof target - 1);
    if (length < 0) break;
    target[length] = '\0';
    char* next;
    if (target[0] == '/') {
      next = util_strdup(target);
    } else {
      char* dir = directory_of(current);
      next = concat3(dir, "/", target);
      util_free(dir);
    }
    util_free(current);
    current = next;
  }
  return current;
}

mode_t creation_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666) & ~mask;
}

void release(SafeOutput* out) {
  util_free(out->target_path);
  util_free(out->temp_path);
  out->target_path = nullptr;
  out->temp_path = nullptr;
  out->stream = nullptr;
}

// Opens a new temporary file beside `out->target_path` carrying the old
// file's mode and owner (or a fresh file's mode). False when impossible.
bool open_temporary(SafeOutput* out, const struct stat* existing) {
  char* dir = directory_of(out->target_path);
  const char* base = std::strrchr(out->target_path, '/');
  base = base == nullptr ? out->target_path : base + 1;
  // The temporary name adds 8 bytes to the output's; cut the copied part so
  // that an output name near the system's 255-byte limit can still be
  // replaced (the name only needs to be unique, which mkstemp sees to).
  size_t kept = std::strlen(base) < kTempNameBaseBytes ? std::strlen(base) : kTempNameBaseBytes;
  char* short_base = static_cast<char*>(util_alloc(static_cast<int32_t>(kept + 1)));
  std::memcpy(short_base, base, kept);
  char* prefix = concat3(dir, "/.", short_base);
  out->temp_path = concat3(prefix, ".", "XXXXXX");
  util_free(prefix);
  util_free(short_base);
  util_free(dir);

  // Watched before it exists: a signal during mkstemp then finds at worst
  // a name not yet taken, and none after it finds a file left unwatched.
  watch_temp(out->temp_path);
  int fd = fault_io_fails() ? -1 : mkstemp(out->temp_path);
  if (fd < 0) {
    unwatch_temp();
    return false;
  }

  mode_t mode = existing != nullptr ? (existing->st_mode & 07777) : creation_mode();
  if (existing != nullptr && fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    // Not permitted for an ordinary user; the file then belongs to us,
    // which is what writing a new file would have given as well.
  }
  out->stream = !fault_io_fails() && fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
  if (out->stream == nullptr) {
    close(fd);
    return false;
  }
  return true;
}

// Syncs the directory `dir` so that a rename in it survives a crash. Some
// file systems refuse to sync a directory; the rename has happened by then,
// so that refusal is not reported as a failure.
void sync_directory(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

bool safe_output_open(SafeOutput* out, const char* path) {
  *out = SafeOutput{nullptr, resolve_links(path), nullptr, false};
  struct stat existing {};
  bool exists = stat(out->target_path, &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    // Devices and FIFOs are written in place; a directory fails to open.
    out->stream = std::fopen(out->target_path, "w");
  } else if (!open_temporary(out, exists ? &existing : nullptr)) {
    safe_output_abandon(out);
    return false;
  }
  if (out->stream == nullptr) {
    release(out);
    return false;
  }
  return true;
}

bool safe_output_commit(SafeOutput* out) {
  bool ok = !out->failed && !fault_io_fails() && std::fflush(out->stream) == 0 &&
            std::ferror(out->stream) == 0;
  if (out->temp_path == nullptr) {
    ok = (std::fclose(out->stream) == 0) && ok;
    release(out);
    return ok;
  }
  ok = ok && !fault_io_fails() && fsync(fileno(out->stream)) == 0;
  ok = std::fclose(out->stream) == 0 && !fault_io_fails() && ok;
  out->stream = nullptr;
  // Taken before the rename: once the output is replaced nothing may run out
  // of memory, or a finished conversion would end as a fatal failure.
  char* dir = directory_of(out->target_path);
  ok = ok && !fault_io_fails() && std::rename(out->temp_path, out->target_path) == 0;
  if (ok) {
    unwatch_temp();
    sync_directory(dir);
    util_free(dir);
    release(out);
    return true;
  }
  util_free(dir);
  safe_output_abandon(out);
  return false;
}

void safe_output_abandon(SafeOutput* out) {
  if (out->stream != nullptr) std::fclose(out->stream);
  out->stream = nullptr;
  if (out->temp_path != nullptr && pending_temp == out->temp_path) {
    unlink(out->temp_path);
    unwatch_temp();
  }
  release(out);
}
