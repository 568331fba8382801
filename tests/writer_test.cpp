// The converted file end to end: layout, the order of sections and keys,
// the stamp line, and the replacement of the output that never loses it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tool_runner.h"

namespace {

const std::regex kStampLine(
    "; keyfolder'd on (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} "
    "\\(v" +
    version_pattern() + " Lanternfold Tools <keyfolder@example\\.org>\\)\n");

// Converts `input` as a.conf in place; returns the result after checking
// that it starts with a well-formed stamp line, which is cut off.
std::string convert(const std::string& input, ToolResult* result = nullptr) {
  ToolDir dir;
  dir.write("a.conf", input);
  ToolResult r = run_tool(dir, {"a.conf"});
  EXPECT_EQ(r.status, 0) << r.out;
  if (result != nullptr) *result = r;
  std::string output = dir.read("a.conf");
  EXPECT_TRUE(std::regex_match(first_line(output), kStampLine)) << output;
  return after_first_line(output);
}

// "name = 1" lines for `names`, in order.
std::string entries(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += n + " = 1\n";
  return text;
}

// The worked conversion against its golden files; converted again, the
// file is clean and stays as it is, and a key added by hand brings one new
// stamp line and keeps the comment block.
TEST(Writer, WorkedConversionMatchesGoldenFilesAndRestamps) {
  ToolDir dir;
  dir.write("worked.conf", read_fixture("worked_conversion.conf"));
  ToolResult r = run_tool(dir, {"worked.conf"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(is_banner(first_line(r.out)));
  EXPECT_EQ(after_first_line(r.out), read_fixture("worked_conversion.stdout"));
  const std::string first = dir.read("worked.conf");
  EXPECT_TRUE(std::regex_match(first_line(first), kStampLine)) << first_line(first);
  EXPECT_EQ(after_first_line(first), read_fixture("worked_conversion.expected"));

  ToolResult again = run_tool(dir, {"worked.conf"});
  EXPECT_EQ(after_first_line(again.out), "this file is already clean\n");
  EXPECT_EQ(dir.read("worked.conf"), first);

  dir.write("worked.conf", first + "Misc:Added=5\n");
  ASSERT_EQ(run_tool(dir, {"worked.conf"}).status, 0);
  std::string second = dir.read("worked.conf");
  EXPECT_TRUE(std::regex_match(first_line(second), kStampLine));
  EXPECT_EQ(second.find("; keyfolder'd on ", 1), std::string::npos);
  EXPECT_EQ(after_first_line(second).substr(0, 41), "; arena settings\n// second header line\n\n#");
  EXPECT_NE(second.find("\nAdded = 5\n"), std::string::npos) << second;
}

// A file with CR LF line ends stays one: every line the tool ends itself
// ends in CR LF, as the Windows build writes it (its golden file), and the
// result reads back as clean. Mixed ends came back before.
TEST(Writer, CrLfInputGetsCrLfLineEnds) {
  std::string input =
      std::regex_replace(read_fixture("worked_conversion.conf"), std::regex("\n"), "\r\n");
  ToolDir dir;
  dir.write("worked.conf", input);
  ASSERT_EQ(run_tool(dir, {"worked.conf"}).status, 0);
  const std::string first = dir.read("worked.conf");
  const std::string stamp = first_line(first);
  ASSERT_GE(stamp.size(), 2u);
  EXPECT_EQ(stamp.substr(stamp.size() - 2), "\r\n");
  EXPECT_TRUE(std::regex_match(stamp.substr(0, stamp.size() - 2) + "\n", kStampLine)) << stamp;
  EXPECT_EQ(after_first_line(first), read_fixture("windows/worked_conversion.expected"));
  ToolResult again = run_tool(dir, {"worked.conf"});
  EXPECT_EQ(after_first_line(again.out), "this file is already clean\n");
  // A first line whose CR ends one piece and whose LF is the next.
  const std::string comment = ";" + std::string(381, 'c');
  dir.write("long.conf", comment + "\r\nMisc:A=1\r\n");
  ASSERT_EQ(run_tool(dir, {"long.conf"}).status, 0);
  EXPECT_EQ(after_first_line(dir.read("long.conf")), comment + "\r\r\n[Misc]\r\nA = 1\r\n");
}

// Entries come out in key-table order, not input order; between sections the
// table may halve, which reorders the later sections.
TEST(Writer, KeysFollowTheTableOrderAcrossAHalving) {
  EXPECT_EQ(convert("Misc:A=1\nMisc:B=1\nMisc:C=1\nMisc:D=1\n"),
            "\n[Misc]\n" + entries({"D", "C", "B", "A"}));
  EXPECT_EQ(convert("Misc:Alpha=1\nMisc:Beta=1\nMisc:Gamma=1\nMisc:Delta=1\nMisc:Epsilon=1\n"),
            "\n[Misc]\n" + entries({"Delta", "Alpha", "Gamma", "Beta", "Epsilon"}));

  std::string input;
  for (int i = 1; i <= 26; ++i)
    input += "Misc:K" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "=1\n";
  const std::vector<std::string> ships = {"Speed", "Thrust", "Bounty", "Radius",
                                          "Gun",   "Bomb",   "Burst",  "Portal"};
  for (const std::string& s : ships) input += "Warbird:" + s + "=1\n";
  EXPECT_EQ(convert(input),
            "\n[Misc]\n" + entries({"K09", "K18", "K08", "K19", "K07", "K16", "K06", "K17", "K26",
                                    "K25", "K01", "K10", "K22", "K11", "K21", "K24", "K23", "K05",
                                    "K14", "K04", "K15", "K03", "K12", "K20", "K02", "K13"}) +
                "\n[Warbird]\n" +
                entries({"Portal", "Burst", "Thrust", "Bounty", "Radius", "Gun", "Speed", "Bomb"}));
}

TEST(Writer, LayoutCases) {
  struct Case {
    const char* what;
    std::string input;
    std::string expected;  // after the stamp line
  };
  const std::string comment383 = ";" + std::string(382, 'c');
  const Case cases[] = {
      {"empty value", "Misc:Empty=\n", "\n[Misc]\nEmpty = \n"},
      {"lone CR line ends keep every key", ";top\r[General]\rFoo=1\rMisc:A=1\r",
       ";top\r\n[General]\nFoo = 1\n\n[Misc]\nA = 1\n"},
      {"header without keys writes nothing", "[Radar]\nMisc:A=1\n", "\n[Misc]\nA = 1\n"},
      {"header holding a colon splits at it", "[a:b]\nx=1\nMisc:A=1\n",
       "\n[Misc]\nA = 1\n\n[a]\nb:x = 1\n"},
      {"upper-case topmost gets a header", "__TOPMOST__:c=3\nzeta:a=1\n",
       "\n[__TOPMOST__]\nc = 3\n\n[zeta]\na = 1\n"},
      {"later comments are dropped", "; kept\n\n; lost\n[General]\n; lost too\nMisc:A=1\n",
       "; kept\n\n[Misc]\nA = 1\n"},
      {"blank first line carries no block", "\n; not a header comment\nMisc:A=1\n",
       "\n[Misc]\nA = 1\n"},
      {"indented comment ends the block", "; kept\n  ; indented\nMisc:A=1\n",
       "; kept\n\n[Misc]\nA = 1\n"},
      // The 383-character piece is copied without its line feed; the line feed
      // that opens the first section then ends it.
      {"comment of 383 characters", comment383 + "\nMisc:A=1\n", comment383 + "\n[Misc]\nA = 1\n"},
      {"sections never written", "[#x]\nkey=1\n:orphan=1\nMisc:A=1\n", "\n[Misc]\nA = 1\n"},
      {"names differing in case are two sections", "[General]\nFoo=1\ngeneral:bar=2\n",
       ""},  // order not fixed: checked below
      {"directive under General written whole",
       "[General]\n#" + std::string(59, 'd') + "\nMisc:A=1\n",
       "\n[General]\n#" + std::string(59, 'd') + "\n\n[Misc]\nA = 1\n"},
      {"directive under topmost cut to 67", "#" + std::string(80, 't') + "\nMisc:A=1\n",
       "\n#" + std::string(66, 't') + "\n\n[Misc]\nA = 1\n"},
  };
  for (const Case& c : cases) {
    std::string output = convert(c.input);
    if (c.expected.empty()) {
      EXPECT_NE(output.find("\n[General]\nFoo = 1\n"), std::string::npos) << c.what;
      EXPECT_NE(output.find("\n[general]\nbar = 2\n"), std::string::npos) << c.what;
    } else {
      EXPECT_EQ(output, c.expected) << c.what;
    }
  }
}

TEST(Writer, ByteOrderMarkIsWrittenBackFirst) {
  ToolDir dir;
  dir.write("a.conf", "\xEF\xBB\xBF; top\n[General]\nFoo=1\nMisc:A=1\n");
  ASSERT_EQ(run_tool(dir, {"a.conf"}).status, 0);
  std::string output = dir.read("a.conf");
  ASSERT_EQ(output.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_TRUE(std::regex_match(first_line(output.substr(3)), kStampLine));
  EXPECT_EQ(after_first_line(output.substr(3)), "; top\n\n[General]\nFoo = 1\n\n[Misc]\nA = 1\n");
}

// --- Replacing the output ---------------------------------------------------

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
  EXPECT_TRUE(std::regex_match(first_line(received), kStampLine));
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
    EXPECT_TRUE(std::regex_match(first_line(received), kStampLine)) << path << received;
    EXPECT_EQ(after_first_line(received).substr(0, 14), "\n[Misc]\nA = 1\n") << path;
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.conf"}) << path;
  }
  close(ends[1]);
}

// The comment block comes from the same read as the keys, so an input that
// can be read only once (a pipe, inherited by the run) still carries it.
TEST(Writer, CommentBlockOfAPipedInputIsCarried) {
  ToolDir dir;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string text = "; from a pipe\nMisc:A=1\n";
  ASSERT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(ends[1]);
  ToolResult r = run_tool(dir, {"/proc/self/fd/" + std::to_string(ends[0]), "out.conf"});
  close(ends[0]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(after_first_line(dir.read("out.conf")), "; from a pipe\n\n[Misc]\nA = 1\n");
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
// sent by others: write_path_test.cpp.)
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

}  // namespace
