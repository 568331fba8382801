// Opening the output and its links, and choosing the plan (safe_output.h).
#include <fcntl.h>
#include <unistd.h>

#include "output/system.h"

namespace {

// Links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;

// Descriptors looked through for a socket named as an output.
constexpr int kMostDescriptors = 1 << 16;

// A temporary file's folder where the output's refuses one and TMPDIR is
// not set to an absolute path.
constexpr const char* kSystemTempDir = "/tmp";

// The kernel's strictest rule for sticky world-writable folders (as /tmp):
// a link, file or FIFO there is used only if the caller or its owner owns it.
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
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length < 0) return nullptr;
  target[length] = '\0';
  char next[2 * PATH_MAX];
  directory_of(link, next);
  std::snprintf(next + std::strlen(next), PATH_MAX + 1, "/%s", target);
  return util_strdup(target[0] == '/' ? target : next);
}

// A copy of this process's descriptor of the socket at `path` (as
// /dev/stdout may name one), which cannot be opened again; or -1.
int duplicate_socket(const char* path) {
  struct stat named {};
  if (stat(path, &named) != 0 || !S_ISSOCK(named.st_mode)) return -1;
  for (int fd = 0; fd < kMostDescriptors; ++fd) {
    struct stat held {};
    if (fstat(fd, &held) == 0 && file_identity_same_file(identity_of(named), identity_of(held))) {
      return fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
  }
  return -1;
}

// Opens `path` for writing, not truncated. A path to no file yet gives -1
// and `*create` (null before), the heap path where it belongs; else -1 is a failure.
int open_output(const char* path, char** create) {
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

// Heap path of `opened` with its links resolved, or null when it no longer
// leads to the file of status `info` (or to any, as a pipe's name).
char* real_path_of(const char* opened, const struct stat& info) {
  char name[PATH_MAX];
  struct stat named {};
  bool same = realpath(opened, name) != nullptr && lstat(name, &named) == 0 &&
              file_identity_same_file(identity_of(named), identity_of(info));
  return same ? util_strdup(name) : nullptr;
}

// The stream over `fd`, or false with `fd` closed.
bool attach_stream(SafeOutput* out, int fd) {
  out->stream = fdopen(fd, "w");
  if (safe_output_note(out, out->stream != nullptr)) return true;
  close(fd);
  return false;
}

// The plan and temporary file for an existing regular output open as `fd`
// (status `info`): rename where the temporary file can carry all it has.
bool choose_plan(SafeOutput* out, int fd, const struct stat& info) {
  // A file mounted on its own (as a container binds one in) is the root of
  // its mount, which no rename can replace.
  struct statx mount {};
  bool mounted = statx(fd, "", AT_EMPTY_PATH, 0, &mount) == 0 &&
                 (mount.stx_attributes & mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  bool renamable = info.st_nlink == 1 && !mounted;
  int temp = temp_create(out, nullptr, out->target_path);
  if (temp >= 0 && renamable && carry_identity(temp, fd, info)) {
    out->plan = SafeOutputPlan::rename;
    close(fd);
    return attach_stream(out, temp);
  }
  out->plan = SafeOutputPlan::rewrite;
  out->target_fd = fd;
  if (temp >= 0 && renamable) {
    // What it was given so far may open it to others: start again.
    close(temp);
    temp_discard(out);
    temp = temp_create(out, nullptr, out->target_path);
  } else if (temp < 0 && (errno == EACCES || errno == EPERM)) {
    const char* system_dir = std::getenv("TMPDIR");
    if (system_dir == nullptr || system_dir[0] != '/') system_dir = kSystemTempDir;
    temp = temp_create(out, system_dir, out->target_path);
    safe_output_note(out, temp >= 0, "no temporary file could be made in TMPDIR or /tmp");
  }
  return safe_output_note(out, temp >= 0) && attach_stream(out, temp) && rewrite_prepare(out, info);
}

}  // namespace

bool safe_output_is_input_stream(const char* path, FILE* input) {
  struct stat named {};
  struct stat held {};
  // A folder is no stream: its read fails and says so ("Is a directory").
  return stat(path, &named) == 0 && fstat(fileno(input), &held) == 0 && !S_ISREG(held.st_mode) &&
         !S_ISDIR(held.st_mode) && file_identity_same_file(identity_of(named), identity_of(held));
}

bool system_open(SafeOutput* out, const char* path, bool in_place) {
  char* create = nullptr;
  int fd = open_output(path, &create);
  struct stat info {};
  if (create != nullptr) {  // a new output
    out->plan = SafeOutputPlan::rename;
    out->target_path = create;
    fd = temp_create(out, nullptr, create);
    // Made again, still empty, by a plain create's own rule (0666 less the
    // umask, or the folder's default access list), which mkostemp's 0600 is not.
    if (fd >= 0 && close(fd) == 0) {
      fd = unlink(out->temp_path) == 0
               ? open(out->temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)
               : -1;
    }
    return safe_output_note(out, fd >= 0) && attach_stream(out, fd);
  } else if (safe_output_note(out, fd >= 0 && fstat(fd, &info) == 0)) {
    // Files and named FIFOs may be planted; a pipe has no name to look up.
    bool regular = S_ISREG(info.st_mode);
    out->target_path = regular || S_ISFIFO(info.st_mode) ? real_path_of(path, info) : nullptr;
    if (regular && out->target_path == nullptr) {
      safe_output_reason(out, kOutputChanged);
    } else if (out->target_path != nullptr && !may_use(out->target_path, info)) {
      safe_output_reason(out, std::strerror(EACCES));
    } else if (!regular) {
      out->plan = SafeOutputPlan::direct;
      return attach_stream(out, fd);
    } else {
      safe_output_check_input(out, identity_of(info), in_place);
      return choose_plan(out, fd, info);  // it holds `fd` from here
    }
  }
  if (fd >= 0) close(fd);
  return false;
}
