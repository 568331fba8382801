#include "support/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
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

// Bytes moved per step while a rewrite in place copies the new text.
constexpr size_t kCopyChunkBytes = size_t{1} << 16;

// Where a temporary file goes when the output's directory refuses one and
// TMPDIR names no other place.
constexpr const char* kSystemTempDir = "/tmp";

// The reason given when the file read is no longer the one at the output.
constexpr const char* kChangedReason = "changed while it was being converted";

// The temporary file a fatal exit or a deadly signal must remove; null
// while none exists.
// Shared with a signal handler, so an atomic that needs no lock.
std::atomic<const char*> pending_temp{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "the signal handler must read the path without a lock");

void remove_pending_temp() {
  const char* path = pending_temp.exchange(nullptr);
  if (path != nullptr) unlink(path);
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
  const char* path = pending_temp.load();
  if (path != nullptr) unlink(path);
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

// The temporary file is gone (renamed or removed) or must stay: signals act
// as before.
void unwatch_temp() {
  for (size_t i = 0; i < kDeadlySignalCount; ++i) {
    if (saved_actions[i].sa_handler != SIG_IGN)
      sigaction(kDeadlySignals[i], &saved_actions[i], nullptr);
  }
  pending_temp = nullptr;
  util_set_fatal_cleanup(nullptr);
}

sigset_t deadly_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kDeadlySignals) sigaddset(&set, signal_number);
  return set;
}

// A failure point of the test build (fault_injection.h): true when this one
// is chosen to fail, with errno set as for an I/O error.
bool injected_failure() {
  if (!fault_io_fails()) return false;
  errno = EIO;
  return true;
}

void give_reason(SafeOutput* out, const char* text) {
  std::snprintf(out->reason, sizeof out->reason, "%s", text);
}

// Returns `done`; a step that failed leaves the system's error as the
// reason, unless an earlier failure gave one.
bool note(SafeOutput* out, bool done) {
  if (!done && out->reason[0] == '\0') give_reason(out, std::strerror(errno));
  return done;
}

FileIdentity identity_of(const struct stat& info) {
  return FileIdentity{S_ISREG(info.st_mode),
                      static_cast<uint64_t>(info.st_dev),
                      static_cast<uint64_t>(info.st_ino),
                      static_cast<int64_t>(info.st_size),
                      static_cast<int64_t>(info.st_mtim.tv_sec),
                      static_cast<int64_t>(info.st_mtim.tv_nsec)};
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// The kernel's rule for links in shared directories, applied whatever the
// system setting: in a sticky world-writable directory (such as /tmp) a link
// `link` (status `info`) is followed only when its owner is the caller or the
// directory's owner, so no other user can plant one where the caller writes.
bool may_follow(const char* link, const struct stat& info) {
  char* dir = directory_of(link);
  struct stat dir_info {};
  bool known = stat(dir, &dir_info) == 0;
  util_free(dir);
  if (!known) return false;
  bool shared = (dir_info.st_mode & S_ISVTX) != 0 && (dir_info.st_mode & S_IWOTH) != 0;
  return !shared || info.st_uid == geteuid() || info.st_uid == dir_info.st_uid;
}

// Heap path that the link `link` points to (a relative target taken from
// the link's directory), or null with errno set.
char* link_target(const char* link) {
  char target[PATH_MAX];
  ssize_t length = readlink(link, target, sizeof target);
  if (length < 0) return nullptr;
  if (static_cast<size_t>(length) == sizeof target) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  target[length] = '\0';
  if (target[0] == '/') return util_strdup(target);
  char* dir = directory_of(link);
  char* next = concat3(dir, "/", target);
  util_free(dir);
  return next;
}

// The descriptor number N when `path` is, or leads by links (as /dev/stdout
// does) to, /proc/self/fd/N or /dev/fd/N; else -1. Such a name of a socket
// cannot be opened again, but the descriptor can be written through a copy.
int descriptor_named(const char* path) {
  static const char* const kPrefixes[] = {"/proc/self/fd/", "/dev/fd/"};
  char current[PATH_MAX];
  std::snprintf(current, sizeof current, "%s", path);
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    for (const char* prefix : kPrefixes) {
      size_t length = std::strlen(prefix);
      const char* digits = current + length;
      if (std::strncmp(current, prefix, length) == 0 && digits[0] != '\0' &&
          digits[std::strspn(digits, "0123456789")] == '\0') {
        return static_cast<int>(std::strtol(digits, nullptr, 10));
      }
    }
    char target[PATH_MAX];
    ssize_t length = readlink(current, target, sizeof target - 1);
    if (length <= 0 || target[0] != '/') return -1;
    target[length] = '\0';
    std::memcpy(current, target, static_cast<size_t>(length) + 1);
  }
  return -1;
}

// A copy of the descriptor behind `path` when that is a socket of this
// process (see descriptor_named), else -1.
int duplicate_socket(const char* path) {
  int number = descriptor_named(path);
  struct stat named {};
  struct stat held {};
  if (number < 0 || stat(path, &named) != 0 || fstat(number, &held) != 0 ||
      !S_ISSOCK(held.st_mode) || !same_file(named, held)) {
    return -1;
  }
  return fcntl(number, F_DUPFD_CLOEXEC, 0);
}

// Opens `path` for writing, not truncated, as a plain open would: the kernel
// follows the links and judges. A path that leads to no file yet gives -1
// with `*create` set to the heap path where the new file belongs: the path
// itself, or where its links lead, each followed only as may_follow allows.
// Otherwise -1 means failure, with errno set.
int open_output(const char* path, char** create) {
  *create = nullptr;
  char* current = util_strdup(path);
  int error = ELOOP;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    int fd = open(current, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO) fd = duplicate_socket(current);
    if (fd >= 0) {
      util_free(current);
      return fd;
    }
    error = errno;
    if (error != ENOENT) break;
    struct stat info {};
    if (lstat(current, &info) != 0) {
      error = errno;
      if (error != ENOENT) break;
      *create = current;
      return -1;
    }
    error = ELOOP;
    if (!S_ISLNK(info.st_mode)) continue;  // made meanwhile: open it again
    if (!may_follow(current, info)) {
      error = EACCES;
      break;
    }
    char* next = link_target(current);
    if (next == nullptr) {
      error = errno;
      break;
    }
    util_free(current);
    current = next;
  }
  util_free(current);
  errno = error;
  return -1;
}

// Heap path that names the file open as `fd` (status `info`): the kernel's
// record of the name it opened, or where /proc is missing, realpath. Null
// when that name no longer leads to this very file.
char* real_path_of(int fd, const char* opened, const struct stat& info) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char name[PATH_MAX];
  ssize_t length = readlink(link, name, sizeof name - 1);
  if (length > 0 && name[0] == '/') {
    name[length] = '\0';
  } else if (realpath(opened, name) == nullptr) {
    return nullptr;
  }
  struct stat named {};
  if (lstat(name, &named) != 0 || !same_file(named, info)) return nullptr;
  return util_strdup(name);
}

mode_t creation_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666) & ~mask;
}

const char* system_temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] == '/' ? dir : kSystemTempDir;
}

// Creates a new temporary file (mode 0600) in `dir`, named after the last
// part of `name` with a leading dot and a unique suffix, and watches it.
// Returns its descriptor, or -1 with errno set and nothing left behind.
int make_temporary(SafeOutput* out, const char* dir, const char* name) {
  const char* base = std::strrchr(name, '/');
  base = base == nullptr ? name : base + 1;
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

  // Watched before it exists: a signal during mkstemp then finds at worst
  // a name not yet taken, and none after it finds a file left unwatched.
  watch_temp(out->temp_path);
  int fd = injected_failure() ? -1 : mkstemp(out->temp_path);
  if (fd < 0) {
    int error = errno;
    unwatch_temp();
    util_free(out->temp_path);
    out->temp_path = nullptr;
    errno = error;
  }
  return fd;
}

// The names of the extended attributes of `fd`, each terminated, in a heap
// block of `*length` bytes (none where the file system keeps none). False
// when they cannot be listed.
bool attribute_names(int fd, char** names, ssize_t* length) {
  *length = 0;
  *names = nullptr;
  ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  *names = static_cast<char*>(util_alloc(static_cast<int32_t>(size)));
  *length = flistxattr(fd, *names, static_cast<size_t>(size));
  return *length >= 0;
}

bool has_name(const char* names, ssize_t length, const char* name) {
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    if (std::strcmp(names + at, name) == 0) return true;
  }
  return false;
}

// Gives `to` exactly the extended attributes of `from`. Access control lists
// are such attributes (system.posix_acl_access and _default), so they come
// along; those `to` got on its own (from its directory's default list) go.
// False when any of it failed.
bool copy_attributes(int from, int to) {
  char* names = nullptr;
  ssize_t length = 0;
  bool ok = attribute_names(from, &names, &length);
  for (ssize_t at = 0; ok && at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    ssize_t size = fgetxattr(from, names + at, nullptr, 0);
    ok = size >= 0;
    if (!ok) break;
    char* value = static_cast<char*>(util_alloc(static_cast<int32_t>(size)));
    ssize_t got = fgetxattr(from, names + at, value, static_cast<size_t>(size));
    ok = got >= 0 && fsetxattr(to, names + at, value, static_cast<size_t>(got), 0) == 0;
    util_free(value);
  }
  char* own = nullptr;
  ssize_t own_length = 0;
  ok = ok && attribute_names(to, &own, &own_length);
  for (ssize_t at = 0; ok && at < own_length;
       at += static_cast<ssize_t>(std::strlen(own + at)) + 1) {
    if (!has_name(names, length, own + at)) ok = fremovexattr(to, own + at) == 0;
  }
  util_free(own);
  util_free(names);
  return ok;
}

// Gives the temporary file `temp` what the existing output `target` (status
// `info`) has and a rename would otherwise drop. True when `temp` then has
// the same owner, group, mode and extended attributes.
bool carry_identity(int temp, int target, const struct stat& info) {
  // Only a privileged caller may give the owner; then at least the group,
  // which a member of it may give.
  bool owned = fchown(temp, info.st_uid, info.st_gid) == 0 ||
               fchown(temp, static_cast<uid_t>(-1), info.st_gid) == 0;
  bool ok = copy_attributes(target, temp);
  // The mode last: a change of owner clears the set-id bits, and an access
  // list's mask is the mode's group bits.
  ok = fchmod(temp, info.st_mode & 07777) == 0 && ok;
  struct stat now {};
  return owned && ok && fstat(temp, &now) == 0 && now.st_uid == info.st_uid &&
         now.st_gid == info.st_gid && (now.st_mode & 07777) == (info.st_mode & 07777);
}

bool attach_stream(SafeOutput* out, int fd) {
  out->stream = fdopen(fd, "w");
  if (out->stream != nullptr) return true;
  note(out, false);
  close(fd);
  safe_output_abandon(out);
  return false;
}

// A new output at `create` (heap, now owned by `out`): a temporary file
// beside it, with the mode a plain create gives.
bool open_new(SafeOutput* out, char* create) {
  out->target_path = create;
  char* dir = directory_of(create);
  int temp = make_temporary(out, dir, create);
  util_free(dir);
  if (!note(out, temp >= 0)) {
    safe_output_release(out);
    return false;
  }
  if (!note(out, fchmod(temp, creation_mode()) == 0)) {
    close(temp);
    safe_output_abandon(out);
    return false;
  }
  return attach_stream(out, temp);
}

// An existing regular output open as `fd` (status `info`): a temporary file
// beside it that will be renamed over it, or, where that would lose
// something, one that will be copied into it (see safe_output.h).
bool open_replacement(SafeOutput* out, int fd, const char* path, const struct stat& info) {
  FileIdentity found = identity_of(info);
  if (out->input.known && found.device == out->input.device && found.inode == out->input.inode) {
    out->check_input = true;  // the input under another name: in place all the same
  }
  out->target_path = real_path_of(fd, path, info);
  if (out->target_path == nullptr) {
    give_reason(out, kChangedReason);
    close(fd);
    return false;
  }
  char* dir = directory_of(out->target_path);
  int temp = make_temporary(out, dir, out->target_path);
  util_free(dir);
  bool rewrite = true;
  if (temp < 0 && (errno == EACCES || errno == EPERM)) {
    temp = make_temporary(out, system_temp_dir(), out->target_path);
  } else if (temp >= 0) {
    rewrite = info.st_nlink > 1 || !carry_identity(temp, fd, info);
  }
  if (!note(out, temp >= 0)) {
    close(fd);
    safe_output_release(out);
    return false;
  }
  if (rewrite) {
    out->target_fd = fd;
  } else {
    close(fd);
  }
  return attach_stream(out, temp);
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

// Whether target_path still names the input, unchanged, where the commit
// must make sure of that (just before it replaces the output); if not, the
// reason says so.
bool input_unchanged(SafeOutput* out) {
  if (!out->check_input) return true;
  struct stat info {};
  bool same = lstat(out->target_path, &info) == 0;
  FileIdentity now = identity_of(info);
  const FileIdentity& read = out->input;
  same = same && now.device == read.device && now.inode == read.inode && now.size == read.size &&
         now.mtime_seconds == read.mtime_seconds && now.mtime_nanoseconds == read.mtime_nanoseconds;
  if (!same) give_reason(out, kChangedReason);
  return same;
}

// Whether target_path still names the file open as target_fd, which the
// rewrite is about to overwrite; if not (the output was replaced during the
// run), the reason says so, and the text must not go into a file that the
// path no longer names.
bool target_still_named(SafeOutput* out) {
  struct stat named {};
  struct stat open {};
  bool same = lstat(out->target_path, &named) == 0 && fstat(out->target_fd, &open) == 0 &&
              same_file(named, open);
  if (!same) give_reason(out, kChangedReason);
  return same;
}

// Writes `size` bytes at `data` to `fd` from its start. False (errno set) on
// a failure.
bool write_all(int fd, const char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    size_t step = size - done < kCopyChunkBytes ? size - done : kCopyChunkBytes;
    ssize_t written =
        injected_failure() ? -1 : pwrite(fd, data + done, step, static_cast<off_t>(done));
    if (written < 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Copies the first `size` bytes of `from` over the start of `to`. False
// (errno set) on a failure.
bool copy_into(int from, int to, size_t size) {
  static char chunk[kCopyChunkBytes];
  for (size_t done = 0; done < size;) {
    size_t step = size - done < kCopyChunkBytes ? size - done : kCopyChunkBytes;
    ssize_t got = pread(from, chunk, step, static_cast<off_t>(done));
    if (got == 0) errno = EIO;  // the synced temporary file cannot have shrunk
    if (got <= 0) return false;
    // A short write moves on by what it wrote; the next one tells why.
    ssize_t written = injected_failure()
                          ? -1
                          : pwrite(to, chunk, static_cast<size_t>(got), static_cast<off_t>(done));
    if (written < 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// Reads the text of the existing output into a heap block (`*text`, `*size`
// bytes), so that a failed rewrite can put it back. A file the caller may
// not read, or too large for one block, gives no copy (null) and no
// failure; a read that fails is a failure of the commit.
bool read_old_text(SafeOutput* out, char** text, size_t* size) {
  *text = nullptr;
  *size = 0;
  struct stat info {};
  if (!note(out, fstat(out->target_fd, &info) == 0)) return false;
  if (info.st_size >= INT32_MAX) return true;
  int fd = open(out->target_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat seen {};
  if (fd < 0 || fstat(fd, &seen) != 0 || !same_file(seen, info)) {
    if (fd >= 0) close(fd);
    return true;
  }
  auto length = static_cast<size_t>(info.st_size);
  char* block = static_cast<char*>(util_alloc(static_cast<int32_t>(length)));
  size_t got = 0;
  bool ok = true;
  while (ok && got < length) {
    ssize_t n =
        injected_failure() ? -1 : pread(fd, block + got, length - got, static_cast<off_t>(got));
    if (n == 0) give_reason(out, kChangedReason);  // cut short while the run went on
    ok = note(out, n > 0);
    if (ok) got += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok) {
    util_free(block);
    return false;
  }
  *text = block;
  *size = length;
  return true;
}

// The new text, synced in the temporary file, is copied into the existing
// output (target_fd), which so keeps its owner, group, mode, attributes and
// every name. While the output holds neither text whole, the temporary
// file holds the new one: the deadly signals wait until the copy is synced
// or the old text is back, and from here nothing removes the temporary
// file but this function (nor can a fatal exit come: nothing below the read
// of the old text allocates).
bool rewrite_in_place(SafeOutput* out) {
  int temp = fileno(out->stream);
  struct stat temp_info {};
  char* old_text = nullptr;
  size_t old_size = 0;
  bool ok = input_unchanged(out) && target_still_named(out) &&
            note(out, fstat(temp, &temp_info) == 0) && read_old_text(out, &old_text, &old_size);
  if (!ok) {
    safe_output_abandon(out);
    return false;
  }
  sigset_t deadly = deadly_signal_set();
  sigset_t saved;
  sigprocmask(SIG_BLOCK, &deadly, &saved);
  auto new_size = static_cast<size_t>(temp_info.st_size);
  bool written =
      note(out, copy_into(temp, out->target_fd, new_size)) &&
      note(out, !injected_failure() && ftruncate(out->target_fd, temp_info.st_size) == 0) &&
      note(out, !injected_failure() && fsync(out->target_fd) == 0);
  bool restored = written;
  if (!written && old_text != nullptr) {
    restored = write_all(out->target_fd, old_text, old_size) && !injected_failure() &&
               ftruncate(out->target_fd, static_cast<off_t>(old_size)) == 0 &&
               !injected_failure() && fsync(out->target_fd) == 0;
  }
  util_free(old_text);
  if (restored) {
    unlink(out->temp_path);
  } else {
    size_t used = std::strlen(out->reason);
    std::snprintf(out->reason + used, sizeof out->reason - used, "; the new text is kept in '%s'",
                  out->temp_path);
    // A deadly signal that came meanwhile ends the process as soon as the
    // signals are let through, before the caller could say where the new
    // text is: say it here first.
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int signal_number : kDeadlySignals) {
      if (sigismember(&pending, signal_number) == 1) {
        std::fprintf(stderr, "keyfolder: %s: %s\n", out->target_path, out->reason);
        break;
      }
    }
  }
  unwatch_temp();
  std::fclose(out->stream);
  close(out->target_fd);
  safe_output_release(out);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return written;
}

}  // namespace

FileIdentity file_identity_of(FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0) return FileIdentity{};
  return identity_of(info);
}

bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place) {
  *out = SafeOutput{};
  out->target_fd = -1;
  if (input != nullptr && input->known) {
    out->input = *input;
    out->check_input = in_place;
  }
  char* create = nullptr;
  int fd = open_output(path, &create);
  if (create != nullptr) return open_new(out, create);
  struct stat info {};
  if (!note(out, fd >= 0) || !note(out, fstat(fd, &info) == 0)) {
    if (fd >= 0) close(fd);
    return false;
  }
  if (S_ISREG(info.st_mode)) return open_replacement(out, fd, path, info);
  // Not a file that can be replaced: written as it is.
  out->target_path = util_strdup(path);
  return attach_stream(out, fd);
}

bool safe_output_commit(SafeOutput* out) {
  if (out->failed) give_reason(out, std::strerror(out->error));
  bool ok = !out->failed && note(out, !injected_failure() && std::fflush(out->stream) == 0 &&
                                          std::ferror(out->stream) == 0);
  if (out->temp_path == nullptr) {
    ok = note(out, std::fclose(out->stream) == 0) && ok;
    safe_output_release(out);
    return ok;
  }
  ok = ok && note(out, !injected_failure() && fsync(fileno(out->stream)) == 0);
  if (ok && out->target_fd >= 0) return rewrite_in_place(out);
  ok = note(out, std::fclose(out->stream) == 0 && !injected_failure()) && ok;
  out->stream = nullptr;
  // Taken before the rename: once the output is replaced nothing may run out
  // of memory, or a finished conversion would end as a fatal failure.
  char* dir = directory_of(out->target_path);
  ok = ok && input_unchanged(out) &&
       note(out, !injected_failure() && std::rename(out->temp_path, out->target_path) == 0);
  if (ok) {
    unwatch_temp();
    sync_directory(dir);
    util_free(dir);
    safe_output_release(out);
    return true;
  }
  util_free(dir);
  safe_output_abandon(out);
  return false;
}

void safe_output_abandon(SafeOutput* out) {
  safe_output_close_stream(out);
  if (out->temp_path != nullptr && pending_temp == out->temp_path) {
    unlink(out->temp_path);
    unwatch_temp();
  }
  if (out->target_fd >= 0) close(out->target_fd);
  safe_output_release(out);
}
