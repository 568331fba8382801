// A file's identity, and what a replacement must carry over from the file
// it replaces: owner, group, mode and extended attributes.
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/alloc.h"
#include "support/safe_output_posix.h"

namespace {

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
// along; those `to` got on its own (from its folder's default list) go.
bool copy_attributes(int from, int to) {
  char* names = nullptr;
  ssize_t length = 0;
  bool ok = attribute_names(from, &names, &length);
  for (ssize_t at = 0; ok && at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    ssize_t size = fgetxattr(from, names + at, nullptr, 0);
    char* value = static_cast<char*>(util_alloc(static_cast<int32_t>(size < 0 ? 0 : size)));
    ssize_t got = size < 0 ? -1 : fgetxattr(from, names + at, value, static_cast<size_t>(size));
    ok = got >= 0 && fsetxattr(to, names + at, value, static_cast<size_t>(got), 0) == 0;
    util_free(value);
  }
  char* own = nullptr;
  ssize_t own_length = 0;
  ok = ok && attribute_names(to, &own, &own_length);
  for (ssize_t at = 0; ok && at < own_length;
       at += static_cast<ssize_t>(std::strlen(own + at)) + 1) {
    if (!has_name(names, length, own + at)) {
      ok = !safe_output_injected_failure() && fremovexattr(to, own + at) == 0;
    }
  }
  util_free(own);
  util_free(names);
  return ok;
}

}  // namespace

FileIdentity identity_of(const struct stat& info) {
  return FileIdentity{S_ISREG(info.st_mode),
                      static_cast<uint64_t>(info.st_dev),
                      static_cast<uint64_t>(info.st_ino),
                      static_cast<int64_t>(info.st_size),
                      static_cast<int64_t>(info.st_mtim.tv_sec),
                      static_cast<int64_t>(info.st_mtim.tv_nsec),
                      static_cast<int64_t>(info.st_ctim.tv_sec),
                      static_cast<int64_t>(info.st_ctim.tv_nsec)};
}

FileIdentity file_identity_of(FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0) return FileIdentity{};
  return identity_of(info);
}

bool carry_identity(int temp, int target, const struct stat& info) {
  // The owner first: only a privileged caller may give it, and a change of
  // owner would clear set-id bits given before it. The mode last, since an
  // access list's mask is the mode's group bits.
  bool ok = fchown(temp, info.st_uid, info.st_gid) == 0 && copy_attributes(target, temp) &&
            fchmod(temp, info.st_mode & 07777) == 0;
  struct stat now {};
  return ok && fstat(temp, &now) == 0 && now.st_uid == info.st_uid && now.st_gid == info.st_gid &&
         (now.st_mode & 07777) == (info.st_mode & 07777);
}

bool system_output_unchanged(SafeOutput* out) {
  struct stat info {};
  bool same = lstat(out->target_path, &info) == 0 &&
              file_identity_unchanged(out->input, identity_of(info));
  if (!same) safe_output_reason(out, kOutputChanged);
  return same;
}
