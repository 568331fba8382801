// Conversions in places shared between users, run as a second, unprivileged
// user (through setpriv, from a test run as root): which files the tool may
// touch, and what a converted file keeps of the identity other users and
// servers rely on. Without root or setpriv the cases are skipped.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

// The second user and groups: numbers no account needs to exist for.
constexpr uid_t kUser = 4101;
constexpr gid_t kUserGroup = 4102;
constexpr uid_t kOtherOwner = 4201;
constexpr gid_t kSharedGroup = 4202;

constexpr const char kSetpriv[] = "/usr/bin/setpriv";
const char kInput[] = "; shared settings\nMisc:A=1\n";
const char kConverted[] = "; shared settings\n\n[Misc]\nA = 1\n";

bool can_switch_user() { return geteuid() == 0 && access(kSetpriv, X_OK) == 0; }

// Runs keyfolder in `dir` as kUser, a member of kSharedGroup when `in_group`.
ToolResult run_as_user(const ToolDir& dir, const std::vector<std::string>& args, bool in_group,
                       const std::vector<std::string>& environment = {}) {
  std::vector<std::string> command{
      "--reuid=" + std::to_string(kUser), "--regid=" + std::to_string(kUserGroup),
      in_group ? "--groups=" + std::to_string(kSharedGroup) : std::string("--clear-groups"),
      KEYFOLDER_BINARY};
  command.insert(command.end(), args.begin(), args.end());
  return run_binary(kSetpriv, dir, command, environment);
}

// Names in the directory `path`, sorted, without "." and "..".
std::vector<std::string> entries_of(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat status_of(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info;
}

// A directory in `dir` with the given owner and mode (chmod: no umask).
void make_dir(const ToolDir& dir, const std::string& name, uid_t owner, gid_t group, mode_t mode) {
  mkdir(dir.file(name).c_str(), 0700);
  ASSERT_EQ(chown(dir.file(name).c_str(), owner, group), 0);
  ASSERT_EQ(chmod(dir.file(name).c_str(), mode), 0);
}

void make_file(const ToolDir& dir, const std::string& name, uid_t owner, gid_t group, mode_t mode) {
  dir.write(name, kInput);
  ASSERT_EQ(chown(dir.file(name).c_str(), owner, group), 0);
  ASSERT_EQ(chmod(dir.file(name).c_str(), mode), 0);
}

class SecondUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_switch_user()) GTEST_SKIP() << "needs root and " << kSetpriv;
    // The test's own directory is private to root; the user must reach in.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  }
  ToolDir dir_;
};

// A file the user may write is converted, and keeps its owner, group and
// mode, where a replacement by rename could give only the user's own.
TEST_F(SecondUser, WritableFileKeepsItsIdentityWhereTheUserCannotReplaceIt) {
  struct Case {
    const char* what;
    uid_t dir_owner;
    gid_t dir_group;
    mode_t dir_mode;
    uid_t file_owner;
    gid_t file_group;
    mode_t file_mode;
  };
  const Case cases[] = {
      // Shared through the group: owner kOtherOwner stays, and the group
      // (which a failed change of owner used to take along) too.
      {"group-shared", kOtherOwner, kSharedGroup, 0770, kOtherOwner, kSharedGroup, 0660},
      // The user's own file in a folder only root may write: no temporary
      // file can be made beside it, so it is made in TMPDIR.
      {"own file, root's folder", 0, 0, 0755, kUser, kUserGroup, 0640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string sub = std::string("d-") + std::to_string(&c - cases);
    make_dir(dir_, sub, c.dir_owner, c.dir_group, c.dir_mode);
    make_dir(dir_, sub + "-tmp", kUser, kUserGroup, 0700);
    make_file(dir_, sub + "/a.conf", c.file_owner, c.file_group, c.file_mode);
    ToolResult r =
        run_as_user(dir_, {sub + "/a.conf"}, true, {"TMPDIR=" + dir_.file(sub + "-tmp")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(after_first_line(dir_.read(sub + "/a.conf")), kConverted);
    struct stat after = status_of(dir_.file(sub + "/a.conf"));
    EXPECT_EQ(after.st_uid, c.file_owner);
    EXPECT_EQ(after.st_gid, c.file_group);
    EXPECT_EQ(after.st_mode & 07777, c.file_mode);
    // No temporary file stays, neither beside the file nor in TMPDIR.
    EXPECT_EQ(entries_of(dir_.file(sub)), std::vector<std::string>{"a.conf"});
    EXPECT_TRUE(entries_of(dir_.file(sub + "-tmp")).empty());
  }
}

// What a plain open for writing refuses, the tool refuses too: the file
// stays as it was, with its owner.
TEST_F(SecondUser, FileTheUserMayNotWriteIsRefused) {
  struct Case {
    const char* what;
    uid_t file_owner;
    mode_t file_mode;
  };
  const Case cases[] = {
      {"read-only file of the user's", kUser, 0444},
      {"root's file in a folder the user may write", 0, 0644},
  };
  make_dir(dir_, "open", kUser, kUserGroup, 0777);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "open/" + std::to_string(&c - cases) + ".conf";
    make_file(dir_, name, c.file_owner, 0, c.file_mode);
    ToolResult r = run_as_user(dir_, {name}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(after_first_line(r.out), "error accessing '" + name + "'\n");
    EXPECT_EQ(r.err, "keyfolder: " + name + ": Permission denied\n");
    EXPECT_EQ(dir_.read(name), kInput);
    EXPECT_EQ(status_of(dir_.file(name)).st_uid, c.file_owner);
  }
  EXPECT_EQ(entries_of(dir_.file("open")), (std::vector<std::string>{"0.conf", "1.conf"}));
}

// A link the user planted in a sticky world-writable folder (as /tmp) is
// not followed by root to a file that does not exist yet: the tool applies
// the kernel's rule itself there, whatever the system setting. Root's own
// link in that folder is followed.
TEST_F(SecondUser, PlantedLinkToANewFileIsNotFollowed) {
  make_dir(dir_, "sticky", 0, 0, 01777);
  dir_.write("in.conf", kInput);
  ASSERT_EQ(symlink(dir_.file("planted.conf").c_str(), dir_.file("sticky/out.conf").c_str()), 0);
  ASSERT_EQ(lchown(dir_.file("sticky/out.conf").c_str(), kUser, kUserGroup), 0);
  ASSERT_EQ(symlink(dir_.file("mine.conf").c_str(), dir_.file("sticky/mine.conf").c_str()), 0);

  ToolResult refused = run_tool(dir_, {"in.conf", "sticky/out.conf"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "keyfolder: sticky/out.conf: Permission denied\n");
  EXPECT_FALSE(dir_.exists("planted.conf"));

  ToolResult followed = run_tool(dir_, {"in.conf", "sticky/mine.conf"});
  EXPECT_EQ(followed.status, 0);
  EXPECT_EQ(after_first_line(dir_.read("mine.conf")), kConverted);
  EXPECT_TRUE(S_ISLNK(status_of(dir_.file("sticky/mine.conf")).st_mode));
}

// The same planted link to root's existing file: here the kernel judges, as
// for any open for writing. With fs.protected_symlinks on it refuses (the
// tool used to resolve links itself and so got round that); with it off it
// follows, and so does the tool.
TEST_F(SecondUser, PlantedLinkToAnExistingFileIsJudgedAsAPlainOpenWould) {
  make_dir(dir_, "sticky", 0, 0, 01777);
  dir_.write("in.conf", kInput);
  dir_.write("secret.conf", "Misc:Secret=1\n");
  chmod(dir_.file("secret.conf").c_str(), 0600);
  ASSERT_EQ(symlink(dir_.file("secret.conf").c_str(), dir_.file("sticky/out.conf").c_str()), 0);
  ASSERT_EQ(lchown(dir_.file("sticky/out.conf").c_str(), kUser, kUserGroup), 0);
  int probe = open(dir_.file("sticky/out.conf").c_str(), O_WRONLY);
  bool kernel_follows = probe >= 0;
  if (probe >= 0) close(probe);
  ToolResult r = run_tool(dir_, {"in.conf", "sticky/out.conf"});
  if (kernel_follows) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_first_line(dir_.read("secret.conf")), kConverted);
  } else {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "keyfolder: sticky/out.conf: Permission denied\n");
    EXPECT_EQ(dir_.read("secret.conf"), "Misc:Secret=1\n");
  }
  std::printf("fs.protected_symlinks is %s here: the link was %s\n", kernel_follows ? "off" : "on",
              kernel_follows ? "followed" : "refused");
}

}  // namespace
