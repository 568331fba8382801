// The write path: how the output is replaced, under a second user, signals
// and edits made at the worst moment, and as a user meets each plan. Each run is stopped where the moment comes (the test build's
// KEYFOLDER_PAUSE_AT), acted on, and let go; each case says which plan ran
// by the file's inode: kept by a rewrite in place, new after a rename.
// Cases that need root and setpriv skip themselves without them.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "output/safe_output.h"
#include "tool_runner.h"

namespace write_path {

// Users and groups no account needs to exist for.
constexpr uid_t kOwner = 4501;      // owns the output (A)
constexpr uid_t kWriter = 4502;     // may write it and converts it (B)
constexpr uid_t kBystander = 4503;  // may read nothing of it (C)
constexpr gid_t kFolderGroup = 4504;
constexpr gid_t kFileGroup = 4505;
constexpr const char kSetpriv[] = "/usr/bin/setpriv";

const char kInput[] = "; shared\n#define X 1\nMisc:A=1\n";
const char kConverted[] = "; shared\n\n#define X 1\n\n[Misc]\nA = 1\n";

bool can_switch_users() { return geteuid() == 0 && access(kSetpriv, X_OK) == 0; }

struct stat status_of(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info;
}

// The names in `dir` but the given ones: what a run left behind.
std::vector<std::string> leftovers(const ToolDir& dir, const std::vector<std::string>& expected) {
  std::vector<std::string> left;
  for (const std::string& name : dir.listing()) {
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) left.push_back(name);
  }
  return left;
}

// The names in the folder `path` that begin with `prefix`.
std::vector<std::string> names_starting(const std::string& path, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
  }
  if (dir != nullptr) closedir(dir);
  return names;
}

std::string text_of(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

// The temporary file of a user who may write the output but cannot
// give it its owner stays private (0600, the writer's, no access list), so
// a third user who cannot read the output cannot read the new text either;
// the output is rewritten in place and keeps owner, group, mode and list.
TEST(WritePath, TemporaryFileStaysPrivateWhereTheOwnerCannotBeGiven) {
  if (!can_switch_users()) GTEST_SKIP() << "needs root and " << kSetpriv;
  ToolDir dir;
  dir.write("out.conf", kInput);
  ASSERT_EQ(chown(dir.file("out.conf").c_str(), kOwner, kFileGroup), 0);
  ASSERT_EQ(chmod(dir.file("out.conf").c_str(), 0640), 0);
  ToolResult acl = run_binary("/usr/bin/setfacl", dir,
                              {"-m", "u:" + std::to_string(kWriter) + ":rw", "out.conf"}, {});
  if (acl.status != 0) GTEST_SKIP() << "setfacl (package acl) failed: " << acl.err;
  ASSERT_EQ(chown(dir.path().c_str(), 0, kFolderGroup), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 02777), 0);  // set-group-id: new files get its group
  const std::string acl_before = run_binary("/usr/bin/getfacl", dir, {"-n", "out.conf"}, {}).out;
  const ino_t inode = status_of(dir.file("out.conf")).st_ino;

  ToolRun held(dir, {"out.conf"}, "commit", kWriter);
  ASSERT_TRUE(held.stopped());
  const std::vector<std::string> temps = names_starting(dir.path(), ".out.conf.");
  ASSERT_EQ(temps.size(), 1u);
  const std::string temp = temps[0];
  struct stat info = status_of(dir.file(temp));
  EXPECT_EQ(info.st_uid, kWriter);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_LT(getxattr(dir.file(temp).c_str(), "system.posix_acl_access", nullptr, 0), 0);
  ToolResult peek = run_binary(
      kSetpriv, dir,
      {"--reuid=" + std::to_string(kBystander), "--regid=" + std::to_string(kFolderGroup),
       "--groups=" + std::to_string(kFolderGroup), "/bin/cat", temp},
      {});
  EXPECT_NE(peek.status, 0) << "the bystander read the new text: " << peek.out;
  ToolResult result = held.finish();

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(after_first_line(dir.read("out.conf")), kConverted);
  info = status_of(dir.file("out.conf"));
  EXPECT_EQ(info.st_ino, inode) << "not rewritten in place";
  EXPECT_EQ(info.st_uid, kOwner);
  EXPECT_EQ(info.st_gid, kFileGroup);
  EXPECT_EQ(run_binary("/usr/bin/getfacl", dir, {"-n", "out.conf"}, {}).out, acl_before);
  EXPECT_EQ(leftovers(dir, {"out.conf"}), std::vector<std::string>{});
}

// Whatever changes the output once its new text is complete
// (an append, a new file in its place, a change of mode, owner or access
// list) is not undone: the
// run ends with "changed while it was being converted", by either plan,
// also where the output names the input by another name (a link).
TEST(WritePath, OutputChangedOnceTheNewTextIsCompleteIsLeftAsChanged) {
  struct Edit {
    const char* what;
    std::vector<std::string> command;  // run in the folder on "a.conf"
  };
  const Edit edits[] = {
      {"append", {"/bin/sh", "-c", "echo Misc:Late=1 >>a.conf"}},
      // An editor that saves through a new file.
      {"replace", {"/bin/sh", "-c", "cp a.conf new && echo Misc:Late=1 >>new && mv new a.conf"}},
      {"chmod", {"/bin/chmod", "600", "a.conf"}},
      {"chown", {"/bin/chown", std::to_string(kOwner), "a.conf"}},
      {"setfacl", {"/usr/bin/setfacl", "-m", "u:" + std::to_string(kWriter) + ":r", "a.conf"}},
  };
  for (int variant = 0; variant < 3; ++variant) {
    const bool linked = variant == 0;
    const bool alias = variant == 2;
    for (const Edit& edit : edits) {
      SCOPED_TRACE(std::string(edit.what) + (linked  ? ", rewrite in place"
                                             : alias ? ", through a link"
                                                     : ", rename"));
      if (edit.what == std::string("chown") && geteuid() != 0) continue;
      ToolDir dir;
      dir.write("a.conf", kInput);
      if (linked) {
        ASSERT_EQ(link(dir.file("a.conf").c_str(), dir.file("b.conf").c_str()), 0);
      }
      ASSERT_EQ(symlink("a.conf", dir.file("alias.conf").c_str()), 0);
      ToolRun held(dir,
                   alias ? std::vector<std::string>{"a.conf", "alias.conf"}
                         : std::vector<std::string>{"a.conf"},
                   "commit");
      ASSERT_TRUE(held.stopped());
      std::vector<std::string> args(edit.command.begin() + 1, edit.command.end());
      ASSERT_EQ(run_binary(edit.command[0], dir, args, {}).status, 0);
      const std::string edited = dir.read("a.conf");
      const struct stat before = status_of(dir.file("a.conf"));
      ToolResult result = held.finish();
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, std::string("keyfolder: ") + (alias ? "alias.conf" : "a.conf") +
                                ": changed while it was being converted\n");
      EXPECT_EQ(dir.read("a.conf"), edited);
      struct stat after = status_of(dir.file("a.conf"));
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(after.st_uid, before.st_uid);
      EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
      EXPECT_EQ(leftovers(dir, {"a.conf", "b.conf", "alias.conf"}), std::vector<std::string>{});
    }
  }
}

// A signal whose default action ends the process, sent as the
// output's text turns new (the first bytes copied in, or the rename), waits
// until the new text is whole; sent while the temporary file is written,
// it removes that file. Either way the process ends by the signal and the
// output holds one whole text.
TEST(WritePath, DeadlySignalsLeaveOneWholeTextAndNoTemporaryFile) {
  const int signals[] = {SIGALRM, SIGUSR1,  SIGUSR2, SIGXCPU, SIGVTALRM,
                         SIGPROF, SIGRTMIN, SIGTERM, SIGINT};
  struct Moment {
    const char* name;
    bool linked;     // a second name: the rewrite in place
    bool converted;  // the output holds the new text afterwards
  };
  const Moment moments[] = {
      {"commit", true, false}, {"first-bytes", true, true}, {"replace", false, true}};
  for (const Moment& moment : moments) {
    for (int signal_number : signals) {
      SCOPED_TRACE(std::string(moment.name) + ", signal " + std::to_string(signal_number));
      ToolDir dir;
      dir.write("a.conf", kInput);
      if (moment.linked) {
        ASSERT_EQ(link(dir.file("a.conf").c_str(), dir.file("b.conf").c_str()), 0);
      }
      const ino_t inode = status_of(dir.file("a.conf")).st_ino;
      ToolRun held(dir, {"a.conf"}, moment.name);
      ASSERT_TRUE(held.stopped());
      held.send(signal_number);
      ToolResult result = held.finish();
      EXPECT_EQ(result.status, 128 + signal_number);
      const std::string text = dir.read("a.conf");
      EXPECT_EQ(moment.converted ? after_first_line(text) : text,
                moment.converted ? kConverted : kInput);
      EXPECT_EQ(status_of(dir.file("a.conf")).st_ino == inode, moment.linked);
      if (moment.linked) {
        EXPECT_EQ(dir.read("b.conf"), text);
      }
      EXPECT_EQ(leftovers(dir, {"a.conf", "b.conf"}), std::vector<std::string>{});
    }
  }
}

// A rewrite in place needs the old text to put back on failure; an
// output the caller may write but not read, whose folder takes no
// temporary file (so it would be rewritten from TMPDIR), is refused before
// it is touched.
TEST(WritePath, RewriteWithoutAWayBackIsRefused) {
  if (!can_switch_users()) GTEST_SKIP() << "needs root and " << kSetpriv;
  ToolDir dir;
  ToolDir temp;
  dir.write("in.conf", kInput);
  dir.write("out.conf", "old\n");
  ASSERT_EQ(chown(dir.file("out.conf").c_str(), kWriter, kWriter), 0);
  ASSERT_EQ(chmod(dir.file("out.conf").c_str(), 0200), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // root's: no temporary file beside it
  ASSERT_EQ(chown(temp.path().c_str(), kWriter, kWriter), 0);
  ToolResult result =
      ToolRun(dir, {"in.conf", "out.conf"}, "", kWriter, {"TMPDIR=" + temp.path()}).finish();
  EXPECT_EQ(result.status, 1) << result.out;
  EXPECT_EQ(result.err,
            "keyfolder: out.conf: Permission denied (its old text, needed to rewrite it in "
            "place, cannot be read)\n");
  EXPECT_EQ(dir.read("out.conf"), "old\n");
  EXPECT_TRUE(temp.listing().empty());
}

// An output that is the input's own pipe is refused before a byte
// is read, whatever the input's size (a run that wrote into its input used
// to hang past the pipe's 64 KiB).
TEST(WritePath, OutputThatIsTheInputsOwnStreamIsRefused) {
  std::string input;
  while (input.size() < (size_t{1} << 17))
    input += "Misc:Key" + std::to_string(input.size()) + "=1\n";
  for (const std::string& name : {std::string("/dev/stdin"), std::string("/proc/self/fd/0")}) {
    ToolDir dir;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread producer([&] {
      signal(SIGPIPE, SIG_IGN);
      for (size_t done = 0; done < input.size();) {
        ssize_t n = write(ends[1], input.data() + done, input.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(ends[1]);
    });
    ToolResult result = ToolRun(dir, {name}, "", 0, {}, ends[0]).finish();
    close(ends[0]);
    producer.join();
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(after_first_line(result.out), "error accessing '" + name + "'\n");
    EXPECT_EQ(result.err, "keyfolder: " + name +
                              ": it is the stream the input is read from; name an output file\n");
  }
}

// Restores a setting under /proc/sys/fs when it goes out of scope.
class FsSetting {
 public:
  FsSetting(const std::string& name, const std::string& value)
      : path_("/proc/sys/fs/" + name), old_(text_of(path_)) {
    std::ofstream(path_) << value;
  }
  ~FsSetting() { std::ofstream(path_) << old_; }
  FsSetting(const FsSetting&) = delete;
  FsSetting& operator=(const FsSetting&) = delete;

 private:
  std::string path_;
  std::string old_;
};

// In a sticky world-writable folder, a file or FIFO another user
// planted where root writes is refused as the kernel's strictest setting
// would refuse it, with the system's own protections switched off; the
// planted file stays its owner's and untouched, the FIFO does not hang the
// run. Root's own file there is converted.
TEST(WritePath, FilesPlantedInAStickyFolderAreRefused) {
  if (!can_switch_users()) GTEST_SKIP() << "needs root and " << kSetpriv;
  FsSetting regular("protected_regular", "0");
  FsSetting fifos("protected_fifos", "0");
  ToolDir dir;
  ToolDir sticky;
  ASSERT_EQ(chmod(sticky.path().c_str(), 01777), 0);
  dir.write("in.conf", kInput);
  std::ofstream(sticky.file("planted.conf")) << "planted\n";
  ASSERT_EQ(chown(sticky.file("planted.conf").c_str(), kOwner, kOwner), 0);
  ASSERT_EQ(chmod(sticky.file("planted.conf").c_str(), 0666), 0);
  ASSERT_EQ(mkfifo(sticky.file("planted.fifo").c_str(), 0666), 0);
  ASSERT_EQ(chown(sticky.file("planted.fifo").c_str(), kOwner, kOwner), 0);
  std::ofstream(sticky.file("own.conf")) << "old\n";
  for (const char* name : {"planted.conf", "planted.fifo"}) {
    ToolResult result = run_tool(dir, {"in.conf", sticky.file(name)});
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(result.err, "keyfolder: " + sticky.file(name) + ": Permission denied\n");
  }
  EXPECT_EQ(text_of(sticky.file("planted.conf")), "planted\n");
  EXPECT_EQ(status_of(sticky.file("planted.conf")).st_uid, kOwner);
  EXPECT_EQ(run_tool(dir, {"in.conf", sticky.file("own.conf")}).status, 0);
  EXPECT_EQ(after_first_line(text_of(sticky.file("own.conf"))), kConverted);
}

// The kernel's limit of 40 links, for a chain that leads to a file not yet
// made (which the tool follows itself): 40 are followed, 41 refused.
TEST(WritePath, LinkChainToANewFileIsFollowedUpToFortyLinks) {
  for (int links : {40, 41}) {
    ToolDir dir;
    dir.write("in.conf", kInput);
    for (int i = 1; i <= links; ++i) {
      std::string target = i == links ? "new.conf" : "link" + std::to_string(i + 1);
      ASSERT_EQ(symlink(target.c_str(), dir.file("link" + std::to_string(i)).c_str()), 0);
    }
    ToolResult result = run_tool(dir, {"in.conf", "link1"});
    EXPECT_EQ(result.status, links == 40 ? 0 : 1) << links << result.err;
    EXPECT_EQ(dir.exists("new.conf"), links == 40) << links;
  }
  // A relative target is taken from the link's own folder.
  ToolDir dir;
  dir.write("in.conf", kInput);
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("new.conf", dir.file("sub/link").c_str()), 0);
  EXPECT_EQ(run_tool(dir, {"in.conf", "sub/link"}).status, 0);
  EXPECT_TRUE(dir.exists("sub/new.conf"));
  EXPECT_FALSE(dir.exists("new.conf"));
}

// An output with an access list, which the temporary file can carry, is
// replaced by the rename (a new inode) and keeps its list.
TEST(WritePath, AccessListGoesWithTheRename) {
  ToolDir dir;
  dir.write("in.conf", kInput);
  dir.write("out.conf", kInput);
  ToolResult set = run_binary("/usr/bin/setfacl", dir,
                              {"-m", "u:" + std::to_string(kWriter) + ":r", "out.conf"}, {});
  if (set.status != 0) GTEST_SKIP() << "setfacl (package acl) failed: " << set.err;
  const std::string before = run_binary("/usr/bin/getfacl", dir, {"-n", "out.conf"}, {}).out;
  const ino_t inode = status_of(dir.file("out.conf")).st_ino;
  EXPECT_EQ(run_tool(dir, {"in.conf", "out.conf"}).status, 0);
  EXPECT_NE(status_of(dir.file("out.conf")).st_ino, inode) << "not replaced by the rename";
  EXPECT_EQ(run_binary("/usr/bin/getfacl", dir, {"-n", "out.conf"}, {}).out, before);
}

// Where the output's folder takes no temporary file, the rewrite takes it
// from TMPDIR, or /tmp when TMPDIR is unset; a TMPDIR that names no folder
// fails the run with the file untouched. A text of several copy blocks
// comes over whole, into the same inode.
TEST(WritePath, RewriteFromTheSystemTemporaryFolder) {
  if (!can_switch_users()) GTEST_SKIP() << "needs root and " << kSetpriv;
  std::string input = "; big\n";
  for (int i = 0; input.size() < 200000; ++i) input += "Misc:Key" + std::to_string(i) + "=v\n";
  std::string expected;
  {
    ToolDir plain;
    plain.write("a.conf", input);
    ASSERT_EQ(run_tool(plain, {"a.conf"}).status, 0);
    expected = after_first_line(plain.read("a.conf"));
  }
  ToolDir temp;
  ASSERT_EQ(chown(temp.path().c_str(), kWriter, kWriter), 0);
  struct Case {
    const char* what;
    std::vector<std::string> environment;
    bool converts;
  };
  const Case cases[] = {{"TMPDIR set", {"TMPDIR=" + temp.path()}, true},
                        {"TMPDIR unset", {}, true},
                        {"TMPDIR names nothing", {"TMPDIR=" + temp.file("none")}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolDir dir;
    dir.write("a.conf", input);
    ASSERT_EQ(chown(dir.file("a.conf").c_str(), kWriter, kWriter), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // root's: no temporary file beside it
    const ino_t inode = status_of(dir.file("a.conf")).st_ino;
    const std::vector<std::string> in_tmp = names_starting("/tmp", ".a.conf.");
    const char* saved = std::getenv("TMPDIR");
    const std::string outer = saved != nullptr ? saved : "";
    unsetenv("TMPDIR");
    ToolResult result = ToolRun(dir, {"a.conf"}, "", kWriter, c.environment).finish();
    if (saved != nullptr) setenv("TMPDIR", outer.c_str(), 1);
    EXPECT_EQ(result.status, c.converts ? 0 : 1) << result.err;
    // The reason says it was the temporary folder, not the file, that failed.
    EXPECT_EQ(result.err, c.converts ? ""
                                     : "keyfolder: a.conf: No such file or directory (no temporary "
                                       "file could be made in TMPDIR or /tmp)\n");
    EXPECT_TRUE(c.converts ? after_first_line(dir.read("a.conf")) == expected
                           : dir.read("a.conf") == input);
    const struct stat after = status_of(dir.file("a.conf"));
    EXPECT_EQ(after.st_ino, inode);
    EXPECT_TRUE(after.st_uid == kWriter && after.st_gid == kWriter);
    EXPECT_TRUE(temp.listing().empty());
    EXPECT_EQ(names_starting("/tmp", ".a.conf."), in_tmp);
  }
}

// A folder whose default access list would open a new file to another
// user: the renamed output has exactly the old one's list (none), and the
// temporary file of a rewrite shows the other user nothing meanwhile. When
// the inherited list cannot be taken off the temporary file (the test
// build's second output failure), the file is rewritten in place instead.
// A new output there gets the list a plain create gives.
TEST(WritePath, FolderDefaultAccessListReachesNoOutput) {
  {
    ToolDir dir;
    ToolResult set = run_binary("/usr/bin/setfacl", dir,
                                {"-d", "-m", "u:" + std::to_string(kBystander) + ":rw", "."}, {});
    if (set.status != 0) GTEST_SKIP() << "setfacl (package acl) failed: " << set.err;
    dir.write("in.conf", kInput);
    std::ofstream(dir.file("plain.conf")) << "";
    ASSERT_EQ(run_tool(dir, {"in.conf", "new.conf"}).status, 0);
    EXPECT_EQ(run_binary("/usr/bin/getfacl", dir, {"-n", "-c", "new.conf"}, {}).out,
              run_binary("/usr/bin/getfacl", dir, {"-n", "-c", "plain.conf"}, {}).out);
  }
  for (int variant = 0; variant < 3; ++variant) {
    const bool linked = variant == 1;
    const bool removal_fails = variant == 2;
    SCOPED_TRACE(linked ? "rewrite in place" : removal_fails ? "removal fails" : "rename");
    ToolDir dir;
    ToolResult set = run_binary("/usr/bin/setfacl", dir,
                                {"-d", "-m", "u:" + std::to_string(kBystander) + ":rw", "."}, {});
    if (set.status != 0) GTEST_SKIP() << "setfacl (package acl) failed: " << set.err;
    dir.write("a.conf", kInput);
    ASSERT_EQ(run_binary("/usr/bin/setfacl", dir, {"-b", "a.conf"}, {}).status, 0);
    if (linked) {
      ASSERT_EQ(link(dir.file("a.conf").c_str(), dir.file("b.conf").c_str()), 0);
    }
    const ino_t inode = status_of(dir.file("a.conf")).st_ino;
    std::vector<std::string> environment;
    if (removal_fails) environment.push_back("KEYFOLDER_FAIL_IO=2");
    ToolRun held(dir, {"a.conf"}, "commit", 0, environment);
    ASSERT_TRUE(held.stopped());
    const std::vector<std::string> temps = names_starting(dir.path(), ".a.conf.");
    ASSERT_EQ(temps.size(), 1u);
    const std::string temp = temps[0];
    ToolResult list = run_binary("/usr/bin/getfacl", dir, {"-n", "-c", "-e", temp}, {});
    if (linked || removal_fails) {
      EXPECT_NE(list.out.find("mask::---"), std::string::npos) << list.out;
    }
    EXPECT_EQ(held.finish().status, 0);
    EXPECT_EQ(status_of(dir.file("a.conf")).st_ino == inode, linked || removal_fails);
    EXPECT_LT(getxattr(dir.file("a.conf").c_str(), "system.posix_acl_access", nullptr, 0), 0);
    EXPECT_EQ(after_first_line(dir.read("a.conf")), kConverted);
  }
}

// A file mounted on its own (as a container binds in a host's file) cannot
// be renamed over: it is rewritten in place, through the mount, into the
// file mounted there.
TEST(WritePath, FileMountedOnItsOwnIsRewrittenInPlace) {
  ToolDir dir;
  dir.write("host.conf", kInput);
  dir.write("a.conf", "");
  if (mount(dir.file("host.conf").c_str(), dir.file("a.conf").c_str(), nullptr, MS_BIND, nullptr) !=
      0) {
    GTEST_SKIP() << "bind mounts need CAP_SYS_ADMIN";
  }
  const ino_t inode = status_of(dir.file("a.conf")).st_ino;
  ToolResult result = run_tool(dir, {"a.conf"});
  const ino_t after = status_of(dir.file("a.conf")).st_ino;
  umount2(dir.file("a.conf").c_str(), MNT_DETACH);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(after, inode);
  EXPECT_EQ(after_first_line(dir.read("host.conf")), kConverted);
  EXPECT_EQ(leftovers(dir, {"a.conf", "host.conf"}), std::vector<std::string>{});
}

// Descriptors the process holds.
size_t open_descriptors() { return names_starting("/proc/self/fd", "").size(); }

void ignore_signal(int) {}

// Each plan, chosen by what the path leads to, closes every descriptor it
// opened, whether committed or given up, and leaves no temporary file.
TEST(SafeOutputPlan, EachPlanIsChosenByThePathAndClosesWhatItOpened) {
  struct Case {
    const char* name;
    SafeOutputPlan plan;
  };
  const Case cases[] = {{"/dev/null", SafeOutputPlan::direct},
                        {"new.conf", SafeOutputPlan::rename},
                        {"one.conf", SafeOutputPlan::rename},
                        {"two.conf", SafeOutputPlan::rewrite}};
  for (bool commit : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (commit ? ", committed" : ", given up"));
      ToolDir dir;
      dir.write("one.conf", "old\n");
      dir.write("two.conf", "old\n");
      ASSERT_EQ(link(dir.file("two.conf").c_str(), dir.file("second").c_str()), 0);
      const std::string path = c.name[0] == '/' ? c.name : dir.file(c.name);
      const std::string old_text = text_of(path);
      const size_t before = open_descriptors();
      SafeOutput out{};
      ASSERT_TRUE(safe_output_open(&out, path.c_str(), nullptr, false)) << out.reason;
      EXPECT_EQ(out.plan, c.plan);
      safe_output_write(&out, "new\n", 4);
      if (commit) {
        EXPECT_TRUE(safe_output_commit(&out)) << out.reason;
      } else {
        safe_output_abandon(&out);
      }
      EXPECT_EQ(open_descriptors(), before);
      if (c.plan != SafeOutputPlan::direct) {
        EXPECT_EQ(text_of(path), commit ? "new\n" : old_text);
      }
      EXPECT_EQ(leftovers(dir, {"new.conf", "one.conf", "two.conf", "second"}),
                std::vector<std::string>{});
    }
  }
}

// A temporary file that cannot be made leaves every signal's action as it
// was, with no handler left behind that would look for a freed path.
TEST(SafeOutputPlan, SignalActionsComeBackWhenNoTemporaryFileCanBeMade) {
  struct sigaction mine {};
  mine.sa_handler = ignore_signal;
  struct sigaction outer {};
  ASSERT_EQ(sigaction(SIGUSR1, &mine, &outer), 0);
  ToolDir dir;
  SafeOutput out{};
  EXPECT_FALSE(safe_output_open(&out, dir.file("none/out.conf").c_str(), nullptr, false));
  EXPECT_STREQ(out.reason, "No such file or directory");
  struct sigaction now {};
  sigaction(SIGUSR1, nullptr, &now);
  EXPECT_EQ(now.sa_handler, ignore_signal);
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  sigaction(SIGUSR1, &outer, nullptr);
}

// --- The plans as a user meets them: failures, kept status, links, devices

std::string big_input() {
  std::string text = "; big file\n";
  for (int i = 0; i < 3000; ++i) text += "Misc:Key" + std::to_string(i) + "=value\n";
  return text;
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode;
}

TEST(SafeOutput, FailuresLeaveEverythingAsItWasAndSayWhy) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string reported;  // path in the access error
    std::string reason;    // the system's error text on standard error
    ChildLimit limit;
  };
  const Case cases[] = {
      {"disk full", {"a.conf"}, "a.conf", "File too large", {RLIMIT_FSIZE, 4096}},
      {"output is a directory", {"a.conf", "sub"}, "sub", "Is a directory", {}},
      {"output in a missing directory",
       {"a.conf", "none/out.conf"},
       "none/out.conf",
       "No such file or directory",
       {}},
      // A plain open fails on a loop; it must not become a regular file.
      {"output is a link loop",
       {"a.conf", "sub/loop"},
       "sub/loop",
       "Too many levels of symbolic links",
       {}},
  };
  for (const Case& c : cases) {
    ToolDir dir;
    const std::string input = big_input();
    dir.write("a.conf", input);
    mkdir(dir.file("sub").c_str(), 0755);
    ASSERT_EQ(symlink("loop", dir.file("sub/loop").c_str()), 0);
    ToolResult r = run_tool(dir, c.args, c.limit);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.out.find("error accessing '" + c.reported + "'\n"), std::string::npos)
        << c.what << r.out;
    EXPECT_EQ(r.err, "keyfolder: " + c.reported + ": " + c.reason + "\n") << c.what;
    EXPECT_EQ(dir.read("a.conf"), input) << c.what;
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"a.conf", "sub"})) << c.what;
    EXPECT_TRUE(S_ISLNK(mode_of(dir.file("sub/loop")))) << c.what;
  }
}

TEST(SafeOutput, KeepsPermissionsAndGivesNewFilesTheCreateMode) {
  ToolDir dir;
  dir.write("a.conf", "Misc:A=1\n");
  chmod(dir.file("a.conf").c_str(), 0604);
  dir.write("b.conf", "Misc:B=1\n");
  mode_t old_mask = umask(027);
  ASSERT_EQ(run_tool(dir, {"a.conf"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"b.conf", "new.conf"}).status, 0);
  umask(old_mask);
  EXPECT_EQ(mode_of(dir.file("a.conf")) & 07777, 0604u);
  EXPECT_EQ(mode_of(dir.file("new.conf")) & 07777, 0640u);
}

TEST(SafeOutput, KeepsOwnerAndGroupWhereAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  ToolDir dir;
  dir.write("a.conf", "Misc:A=1\n");
  ASSERT_EQ(chown(dir.file("a.conf").c_str(), 4321, 8765), 0);
  ASSERT_EQ(run_tool(dir, {"a.conf"}).status, 0);
  struct stat info {};
  stat(dir.file("a.conf").c_str(), &info);
  EXPECT_EQ(info.st_uid, 4321u);
  EXPECT_EQ(info.st_gid, 8765u);
}

// A rename would leave the other names with the old text; the file is
// rewritten in place instead, and no temporary file stays.
TEST(SafeOutput, HardLinkedOutputKeepsEveryName) {
  ToolDir dir;
  dir.write("a.conf", "; linked\nMisc:A=1\n");
  ASSERT_EQ(link(dir.file("a.conf").c_str(), dir.file("other.conf").c_str()), 0);
  struct stat before {};
  stat(dir.file("a.conf").c_str(), &before);
  ASSERT_EQ(run_tool(dir, {"a.conf"}).status, 0);
  struct stat after {};
  stat(dir.file("other.conf").c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after_first_line(dir.read("other.conf")), "; linked\n\n[Misc]\nA = 1\n");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"a.conf", "other.conf"}));
}

// The access list (here one that takes the owning group's rights away) and
// a user attribute come over to the replacement, and the mode with them.
TEST(SafeOutput, KeepsAccessListsAndExtendedAttributes) {
  ToolDir dir;
  dir.write("a.conf", "Misc:A=1\n");
  chmod(dir.file("a.conf").c_str(), 0660);
  const std::string note = "hand-made";
  if (setxattr(dir.file("a.conf").c_str(), "user.origin", note.data(), note.size(), 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes";
  }
  ToolResult set = run_binary("/usr/bin/setfacl", dir, {"-m", "u:4101:rw,g::---", "a.conf"}, {});
  if (set.status != 0) GTEST_SKIP() << "setfacl (package acl) failed: " << set.err;
  const std::string acl_before = run_binary("/usr/bin/getfacl", dir, {"-n", "a.conf"}, {}).out;
  ASSERT_EQ(run_tool(dir, {"a.conf"}).status, 0);
  EXPECT_EQ(run_binary("/usr/bin/getfacl", dir, {"-n", "a.conf"}, {}).out, acl_before);
  char value[64] = {};
  ssize_t length = getxattr(dir.file("a.conf").c_str(), "user.origin", value, sizeof value);
  EXPECT_EQ(std::string(value, length > 0 ? static_cast<size_t>(length) : 0), note);
  EXPECT_EQ(mode_of(dir.file("a.conf")) & 07777, 0660u);
  EXPECT_EQ(after_first_line(dir.read("a.conf")), "\n[Misc]\nA = 1\n");
}

TEST(SafeOutput, SymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  ToolDir dir;
  mkdir(dir.file("real").c_str(), 0755);
  dir.write("real/target.conf", "Misc:A=1\n");
  ASSERT_EQ(symlink("real/target.conf", dir.file("link.conf").c_str()), 0);
  ASSERT_EQ(symlink("link.conf", dir.file("link2.conf").c_str()), 0);
  ASSERT_EQ(run_tool(dir, {"link2.conf"}).status, 0);
  EXPECT_TRUE(S_ISLNK(mode_of(dir.file("link.conf"))));
  EXPECT_TRUE(S_ISLNK(mode_of(dir.file("link2.conf"))));
  EXPECT_EQ(after_first_line(dir.read("real/target.conf")), "\n[Misc]\nA = 1\n");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"link.conf", "link2.conf", "real"}));
}

TEST(SafeOutput, FifoIsWrittenDirectlyAndStaysAFifo) {
  ToolDir dir;
  dir.write("a.conf", "Misc:A=1\n");
  ASSERT_EQ(mkfifo(dir.file("out.fifo").c_str(), 0644), 0);
  std::string received;
  std::thread reader([&] {
    int fd = open(dir.file("out.fifo").c_str(), O_RDONLY);
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      received.append(buffer, static_cast<size_t>(n));
    close(fd);
  });
  ToolResult r = run_tool(dir, {"a.conf", "out.fifo"});
  reader.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(is_stamp_line(first_line(received)));
  EXPECT_EQ(after_first_line(received), "\n[Misc]\nA = 1\n");
  EXPECT_TRUE(S_ISFIFO(mode_of(dir.file("out.fifo"))));
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"a.conf", "out.fifo"}));
}

// Standard output's name as the output leads to a pipe, a socket's name in
// /proc to the socket: both are written as they are. (Resolving /dev/stdout
// by hand ended at "pipe:[N]", which names nothing.)
TEST(SafeOutput, PipeOrSocketBehindADescriptorNameIsWrittenDirectly) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);  // inherited by the run
  for (const std::string& path :
       {std::string("/dev/stdout"), "/proc/self/fd/" + std::to_string(ends[1])}) {
    ToolDir dir;
    dir.write("a.conf", "Misc:A=1\n");
    ToolResult r = run_tool(dir, {"a.conf", path});
    EXPECT_EQ(r.status, 0) << path;
    std::string received = r.out;
    if (path != "/dev/stdout") {
      shutdown(ends[1], SHUT_WR);
      received = read_to_end(ends[0]);
    }
    // The file's text comes first on standard output: messages wait in their buffer.
    EXPECT_TRUE(is_stamp_line(first_line(received))) << path << received;
    EXPECT_EQ(after_first_line(received).substr(0, 14), "\n[Misc]\nA = 1\n") << path;
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.conf"}) << path;
  }
  close(ends[1]);
}

// An output with a second name is rewritten in place, through the file it
// opened; if its path names another file by then (replaced during the
// run), that file must not be reported as written when the text went to
// the old one.
TEST(SafeOutput, OutputReplacedDuringARewriteIsNotWrittenThroughItsOldFile) {
  ToolDir dir;
  dir.write("a.conf", "Misc:A=1\n");
  dir.write("out.conf", "old\n");
  ASSERT_EQ(link(dir.file("out.conf").c_str(), dir.file("second").c_str()), 0);
  ToolRun held(dir, {"a.conf", "out.conf"}, "commit");
  ASSERT_TRUE(held.stopped());
  dir.write("newer", "newer\n");
  ASSERT_EQ(rename(dir.file("newer").c_str(), dir.file("out.conf").c_str()), 0);
  ToolResult result = held.finish();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "keyfolder: out.conf: changed while it was being converted\n");
  EXPECT_EQ(dir.read("out.conf"), "newer\n");
  EXPECT_EQ(dir.read("second"), "old\n");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"a.conf", "out.conf", "second"}));
}

// Reaching the file size limit while the temporary file is written raises
// SIGXFSZ: the run ends by it, and its temporary file is gone. (Signals
// sent by others: DeadlySignalsLeaveOneWholeTextAndNoTemporaryFile.)
TEST(SafeOutput, FileSizeLimitWhileWritingLeavesNoTemporaryFile) {
  std::string input;
  for (int i = 0; i < 6000; ++i) input += "Section" + std::to_string(i) + ":key=value\n";
  ToolDir dir;
  dir.write("a.conf", input);
  pid_t child = fork();
  if (child == 0) {
    dup2(open("/dev/null", O_WRONLY), 1);
    struct rlimit limit {
      4096, 4096
    };
    if (chdir(dir.path().c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    execl(KEYFOLDER_BINARY, KEYFOLDER_BINARY, "a.conf", static_cast<char*>(nullptr));
    _exit(126);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.conf"});
  EXPECT_EQ(dir.read("a.conf"), input);
}

}  // namespace write_path
