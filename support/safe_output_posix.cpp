// Opening the output and its links, and choosing the plan (safe_output.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/safe_output_posix.h"

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;

// Where a temporary file goes when the output's folder refuses one and
// TMPDIR names no other place.
constexpr const char* kSystemTempDir = "/tmp";

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The kernel's strictest rule for sticky world-writable folders (such as
// /tmp), applied whatever the system setting: there a link, a regular file
// or a FIFO at `path` (status `info`) is used only when its owner is the
// caller or the folder's owner, so that no other user can plant one where
// the caller writes.
bool may_use(const char* path, const struct stat& info) {
  char dir[PATH_MAX];
  directory_of(path, dir);
  struct stat folder {};
  if (stat(dir, &folder) != 0) return false;
  bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || info.st_uid == geteuid() || info.st_uid == folder.st_uid;
}

// Heap path that the link `link` points to (a relative target taken from
// the link's folder), or null with errno set.
char* link_target(const char* link) {
  char target[PATH_MAX];
  ssize_t length = readlink(link, target, sizeof target);
  if (length < 0) return nullptr;
  if (static_cast<size_t>(length) == sizeof target) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  target[length] = '\0';
  char dir[PATH_MAX];
  directory_of(link, dir);
  size_t room = std::strlen(dir) + static_cast<size_t>(length) + 2;
  char* next = static_cast<char*>(util_alloc(static_cast<int32_t>(room)));
  std::snprintf(next, room, "%s%s%s", target[0] == '/' ? "" : dir, target[0] == '/' ? "" : "/",
                target);
  return next;
}

// A copy of the descriptor behind `path` when that is a socket of this
// process reached as /proc/self/fd/N or /dev/fd/N (as /dev/stdout may
// lead): such a name cannot be opened again. Else -1.
int duplicate_socket(const char* path) {
  static const char* const kPrefixes[] = {"/proc/self/fd/", "/dev/fd/"};
  char current[PATH_MAX];
  std::snprintf(current, sizeof current, "%s", path);
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    for (const char* prefix : kPrefixes) {
      size_t length = std::strlen(prefix);
      const char* digits = current + length;
      if (std::strncmp(current, prefix, length) == 0 && digits[0] != '\0' &&
          digits[std::strspn(digits, "0123456789")] == '\0') {
        int number = static_cast<int>(std::strtol(digits, nullptr, 10));
        struct stat named {};
        struct stat held {};
        bool socket = stat(path, &named) == 0 && fstat(number, &held) == 0 &&
                      S_ISSOCK(held.st_mode) && same_file(named, held);
        return socket ? fcntl(number, F_DUPFD_CLOEXEC, 0) : -1;
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

// Opens `path` for writing, not truncated, as a plain open would: the kernel
// follows the links and judges. A path that leads to no file yet gives -1
// with `*create` set to the heap path where the new file belongs: the path
// itself, or where its links lead, each followed only as may_use allows.
// A FIFO is opened without waiting for a reader until may_use has judged it.
// Otherwise -1 means failure, with errno set.
int open_output(const char* path, char** create) {
  *create = nullptr;
  char* current = util_strdup(path);
  int error = ELOOP;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    int fd = open(current, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 && errno == ENXIO && stat(current, &info) == 0 && S_ISFIFO(info.st_mode)) {
      char real[PATH_MAX];
      bool allowed = realpath(current, real) != nullptr && may_use(real, info);
      fd = allowed ? open(current, O_WRONLY | O_NOCTTY | O_CLOEXEC) : -1;
      if (!allowed) errno = EACCES;
    } else if (fd < 0 && errno == ENXIO) {
      fd = duplicate_socket(current);
      if (fd < 0) errno = ENXIO;
    }
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      util_free(current);
      return fd;
    }
    error = errno;
    if (error != ENOENT) break;
    if (lstat(current, &info) != 0) {
      error = errno;
      if (error != ENOENT) break;
      *create = current;
      return -1;
    }
    error = ELOOP;
    if (!S_ISLNK(info.st_mode)) continue;  // made meanwhile: open it again
    if (!may_use(current, info)) {
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

// The stream over `fd`, or false with `fd` closed.
bool attach_stream(SafeOutput* out, int fd) {
  out->stream = fdopen(fd, "w");
  if (safe_output_note(out, out->stream != nullptr)) return true;
  close(fd);
  return false;
}

// The plan for an existing regular output open as `fd` (status `info`),
// and its temporary file. rename where a temporary file beside it can carry
// all it has; rewrite otherwise, with a private temporary file.
bool choose_plan(SafeOutput* out, int fd, const struct stat& info) {
  char dir[PATH_MAX];
  directory_of(out->target_path, dir);
  int temp = temp_create(out, dir, out->target_path);
  if (temp >= 0 && info.st_nlink == 1 && carry_identity(temp, fd, info)) {
    out->plan = SafeOutputPlan::rename;
    close(fd);
    return attach_stream(out, temp);
  }
  out->plan = SafeOutputPlan::rewrite;
  out->target_fd = fd;
  if (temp >= 0 && info.st_nlink == 1) {
    // What it was given so far may open it to others: start again.
    close(temp);
    temp_discard(out);
    temp = temp_create(out, dir, out->target_path);
  } else if (temp < 0 && (errno == EACCES || errno == EPERM)) {
    const char* system_dir = std::getenv("TMPDIR");
    if (system_dir == nullptr || system_dir[0] != '/') system_dir = kSystemTempDir;
    temp = temp_create(out, system_dir, out->target_path);
  }
  return safe_output_note(out, temp >= 0) && attach_stream(out, temp) &&
         rewrite_prepare(out, info);
}

}  // namespace

bool safe_output_is_input_stream(const char* path, FILE* input) {
  struct stat named {};
  struct stat held {};
  return stat(path, &named) == 0 && fstat(fileno(input), &held) == 0 &&
         !S_ISREG(held.st_mode) && same_file(named, held);
}

bool safe_output_open(SafeOutput* out, const char* path, const FileIdentity* input, bool in_place) {
  *out = SafeOutput{};
  out->target_fd = -1;
  out->old_fd = -1;
  if (input != nullptr) out->input = *input;
  char* create = nullptr;
  int fd = open_output(path, &create);
  struct stat info {};
  if (create != nullptr) {  // a new output
    out->plan = SafeOutputPlan::rename;
    out->target_path = create;
    char dir[PATH_MAX];
    directory_of(create, dir);
    fd = temp_create(out, dir, create);
    if (safe_output_note(out, fd >= 0 && fchmod(fd, creation_mode()) == 0)) {
      if (attach_stream(out, fd)) return true;
      fd = -1;
    }
  } else if (safe_output_note(out, fd >= 0 && fstat(fd, &info) == 0)) {
    // Regular files and named FIFOs are what may be planted in a shared
    // folder; a pipe has no name to look up.
    bool regular = S_ISREG(info.st_mode);
    out->target_path =
        regular || S_ISFIFO(info.st_mode) ? real_path_of(fd, path, info) : nullptr;
    if (regular && out->target_path == nullptr) {
      safe_output_reason(out, kOutputChanged);
    } else if (out->target_path != nullptr && !may_use(out->target_path, info)) {
      errno = EACCES;
      safe_output_note(out, false);
    } else if (!regular) {
      out->plan = SafeOutputPlan::direct;
      if (attach_stream(out, fd)) return true;
      fd = -1;
    } else {
      // The input under another name is converted in place all the same.
      out->check_input = file_identity_same_file(out->input, identity_of(info)) ||
                         (in_place && out->input.known);
      if (choose_plan(out, fd, info)) return true;
      fd = -1;  // the plan holds it now
    }
  }
  if (fd >= 0) close(fd);
  safe_output_abandon(out);
  return false;
}
