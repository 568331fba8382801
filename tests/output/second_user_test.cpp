// Conversions in folders shared between users, run as a second,
// unprivileged user (setpriv, from a test run as root): which files the
// tool may touch, and what a converted file keeps of the identity servers
// and other users rely on. Without root or setpriv the cases are skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Runs keyfolder in `dir` as kUser, also in kSharedGroup when `in_group`.
ToolResult run_as_user(const ToolDir& dir, const std::vector<std::string>& args, bool in_group,
                       const std::vector<std::string>& environment = {}) {
  std::vector<std::string> command{
      "--reuid=" + std::to_string(kUser), "--regid=" + std::to_string(kUserGroup),
      in_group ? "--groups=" + std::to_string(kSharedGroup) : "--clear-groups", KEYFOLDER_BINARY};
  command.insert(command.end(), args.begin(), args.end());
  return run_binary(kSetpriv, dir, command, environment);
}

// Gives `path` an owner and a mode (chmod: no umask, set-id bits kept).
void own(const std::string& path, uid_t owner, gid_t group, mode_t mode) {
  ASSERT_EQ(lchown(path.c_str(), owner, group), 0) << path;
  if (mode != 0) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  }
}

struct stat status_of(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info;
}

class SecondUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
      GTEST_SKIP() << "needs root and " << kSetpriv;
    }
  }
};

// A file the user may write is converted and keeps its owner, group and
// mode, which a replacement by rename could not give it.
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
      // Shared through the group, which a failed change of owner used to
      // take along with it.
      {"group-shared", kOtherOwner, kSharedGroup, 0770, kOtherOwner, kSharedGroup, 0660},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolDir dir;
    ToolDir temp;
    dir.write("a.conf", kInput);
    own(dir.file("a.conf"), c.file_owner, c.file_group, c.file_mode);
    own(dir.path(), c.dir_owner, c.dir_group, c.dir_mode);
    own(temp.path(), kUser, kUserGroup, 0700);
    ToolResult r = run_as_user(dir, {"a.conf"}, true, {"TMPDIR=" + temp.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(after_first_line(dir.read("a.conf")), kConverted);
    struct stat after = status_of(dir.file("a.conf"));
    EXPECT_EQ(after.st_uid, c.file_owner);
    EXPECT_EQ(after.st_gid, c.file_group);
    EXPECT_EQ(after.st_mode & 07777, c.file_mode);
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.conf"});
    EXPECT_TRUE(temp.listing().empty());
  }
}

// What a plain open for writing refuses, the tool refuses too: the file
// stays as it was, with its owner.
TEST_F(SecondUser, FileTheUserMayNotWriteIsRefused) {
  ToolDir dir;
  own(dir.path(), kUser, kUserGroup, 0777);
  dir.write("own.conf", kInput);
  own(dir.file("own.conf"), kUser, kUserGroup, 0444);
  dir.write("root.conf", kInput);
  own(dir.file("root.conf"), 0, 0, 0644);
  for (const std::string name : {"own.conf", "root.conf"}) {
    ToolResult r = run_as_user(dir, {name}, false);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(after_first_line(r.out), "error accessing '" + name + "'\n");
    EXPECT_EQ(r.err, "keyfolder: " + name + ": Permission denied\n");
    EXPECT_EQ(dir.read(name), kInput) << name;
  }
  EXPECT_EQ(status_of(dir.file("root.conf")).st_uid, 0u);
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"own.conf", "root.conf"}));
}

// Links in a sticky world-writable folder (as /tmp), followed by root. One
// the user planted there towards a file that does not exist yet is not
// followed: the tool applies the kernel's rule itself, whatever the system
// setting. Root's own link there is followed. Towards an existing file the
// kernel judges, as for any open for writing: with fs.protected_symlinks on
// it refuses (the tool used to resolve links itself, and so got round it).
TEST_F(SecondUser, LinksPlantedInAStickyFolderAreFollowedAsTheKernelAllows) {
  ToolDir dir;
  ToolDir sticky;
  own(sticky.path(), 0, 0, 01777);
  dir.write("in.conf", kInput);
  dir.write("secret.conf", "Misc:Secret=1\n");
  chmod(dir.file("secret.conf").c_str(), 0600);
  ASSERT_EQ(symlink(dir.file("new.conf").c_str(), sticky.file("planted-new").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("secret.conf").c_str(), sticky.file("planted-old").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("mine.conf").c_str(), sticky.file("mine").c_str()), 0);
  own(sticky.file("planted-new"), kUser, kUserGroup, 0);
  own(sticky.file("planted-old"), kUser, kUserGroup, 0);

  ToolResult refused = run_tool(dir, {"in.conf", sticky.file("planted-new")});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "keyfolder: " + sticky.file("planted-new") + ": Permission denied\n");
  EXPECT_FALSE(dir.exists("new.conf"));

  ASSERT_EQ(run_tool(dir, {"in.conf", sticky.file("mine")}).status, 0);
  EXPECT_EQ(after_first_line(dir.read("mine.conf")), kConverted);

  int probe = open(sticky.file("planted-old").c_str(), O_WRONLY);
  bool kernel_follows = probe >= 0;
  if (probe >= 0) close(probe);
  ToolResult old = run_tool(dir, {"in.conf", sticky.file("planted-old")});
  EXPECT_EQ(old.status, kernel_follows ? 0 : 1);
  EXPECT_EQ(dir.read("secret.conf") == "Misc:Secret=1\n", !kernel_follows);
  std::printf("fs.protected_symlinks is %s here: the planted link was %s\n",
              kernel_follows ? "off" : "on", kernel_follows ? "followed" : "refused");
}

}  // namespace
