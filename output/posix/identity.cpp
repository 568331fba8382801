// A file's identity, and what a replacement must carry over from it.
#include <sys/xattr.h>
#include <unistd.h>

#include "output/system.h"

namespace {

// The extended attributes' names of `fd`, each terminated, in a heap block
// of `*length` bytes (none where the file system keeps none).
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
  for (const char* at = names; at < names + length; at += std::strlen(at) + 1)
    if (std::strcmp(at, name) == 0) return true;
  return false;
}

// Gives `to` exactly the extended attributes of `from`, access lists among
// them; those `to` got on its own (from its folder's default list) go.
bool copy_attributes(int from, int to) {
  char* names = nullptr;
  ssize_t length = 0;
  bool ok = attribute_names(from, &names, &length);
  for (const char* name = names; ok && name < names + length; name += std::strlen(name) + 1) {
    static char value[XATTR_SIZE_MAX];  // the largest value the kernel keeps
    ssize_t got = fgetxattr(from, name, value, sizeof value);
    ok = got >= 0 && fsetxattr(to, name, value, static_cast<size_t>(got), 0) == 0;
  }
  char* own = nullptr;
  ssize_t own_length = 0;
  ok = ok && attribute_names(to, &own, &own_length);
  for (const char* name = own; ok && name < own + own_length; name += std::strlen(name) + 1) {
    if (!has_name(names, length, name)) {
      ok = !safe_output_injected_failure() && fremovexattr(to, name) == 0;
    }
  }
  util_free(own);
  util_free(names);
  return ok;
}

}  // namespace

FileIdentity identity_of(const struct stat& info) {
  auto wide = [](auto number) { return static_cast<int64_t>(number); };
  return FileIdentity{true,
                      info.st_dev,
                      info.st_ino,
                      wide(info.st_size),
                      wide(info.st_mtim.tv_sec),
                      wide(info.st_mtim.tv_nsec),
                      wide(info.st_ctim.tv_sec),
                      wide(info.st_ctim.tv_nsec)};
}

FileIdentity file_identity_of(FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return FileIdentity{};
  return identity_of(info);
}

FileIdentity system_identity_at(const char* path, bool* exists) {
  struct stat info {};
  bool found = lstat(path, &info) == 0;
  if (exists != nullptr) *exists = found;
  return found ? identity_of(info) : FileIdentity{};
}

bool carry_identity(int temp, int target, const struct stat& info) {
  // The owner first, as a change of owner clears set-id bits; the mode last,
  // as an access list's mask is the mode's group bits.
  bool ok = fchown(temp, info.st_uid, info.st_gid) == 0 && copy_attributes(target, temp) &&
            fchmod(temp, info.st_mode & 07777) == 0;
  struct stat now {};
  return ok && fstat(temp, &now) == 0 && now.st_uid == info.st_uid && now.st_gid == info.st_gid &&
         (now.st_mode & 07777) == (info.st_mode & 07777);
}
