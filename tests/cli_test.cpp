// The command line end to end: arguments, messages, exit statuses, and which
// files a run may touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tool_runner.h"

namespace {

const char kClean[] = "; clean file\n[General]\nFoo=1\n#define X 1\n";
const char kFloating[] = "[General]\nFoo=1\nMisc:Bar=2\n";
const char kHelp[] =
    "use this tool to merge floating keys like section:name=value into the more\n"
    "readable [section] name=value format. warning: comments are discarded\n";

// Modification time in nanoseconds, to prove a file was not rewritten.
long long mtime_ns(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

TEST(CommandLine, NoArgumentPrintsUsageWithStatus2) {
  ToolDir dir;
  ToolResult r = run_tool(dir, {});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(is_banner(first_line(r.out))) << r.out;
  EXPECT_EQ(after_first_line(r.out),
            std::string("Usage: ") + KEYFOLDER_BINARY + " <arena.conf> [<out.conf>]\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, HelpIsExactAndOnlyForExactSpellings) {
  ToolDir dir;
  for (const char* flag : {"--help", "-h"}) {
    ToolResult r = run_tool(dir, {flag, "ignored.conf"});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_TRUE(is_banner(first_line(r.out))) << r.out;
    EXPECT_EQ(after_first_line(r.out), kHelp) << flag;
  }
  // Near misses are input paths, which do not exist here.
  for (const char* path : {"--helpme", "-H", "--HELP"}) {
    ToolResult r = run_tool(dir, {path});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(after_first_line(r.out), std::string("error accessing '") + path + "'\n");
  }
  EXPECT_TRUE(dir.listing().empty());
}

TEST(CommandLine, UnreadableInputIsAnAccessErrorWithItsReason) {
  ToolDir dir;
  mkdir(dir.file("folder").c_str(), 0755);
  // A missing file fails to open; a directory opens but fails on reading,
  // named as the output too (it is no stream the input is read from).
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"missing.conf", "out.conf"}, "No such file or directory"},
      {{"folder", "out.conf"}, "Is a directory"},
      {{"folder"}, "Is a directory"}};
  for (const auto& [arguments, reason] : cases) {
    const std::string& path = arguments[0];
    ToolResult r = run_tool(dir, arguments);
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(after_first_line(r.out), "error accessing '" + path + "'\n");
    EXPECT_EQ(r.err, "keyfolder: " + path + ": " + reason + "\n");
  }
  EXPECT_FALSE(dir.exists("out.conf"));
}

TEST(CommandLine, CleanFileIsLeftUntouchedWhateverTheArguments) {
  ToolDir dir;
  dir.write("a.conf", kClean);
  long long before = mtime_ns(dir.file("a.conf"));
  const std::vector<std::vector<std::string>> calls = {
      {"a.conf"}, {"a.conf", "b.conf"}, {"a.conf", "b.conf", "c.conf"}};
  for (const auto& args : calls) {
    ToolResult r = run_tool(dir, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_first_line(r.out), "this file is already clean\n");
  }
  EXPECT_EQ(dir.read("a.conf"), kClean);
  EXPECT_EQ(mtime_ns(dir.file("a.conf")), before);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"a.conf"});
}

TEST(CommandLine, OutputPathFollowsTheArgumentCount) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> listing;
    std::string converted;  // the file that holds the result
  };
  const Case cases[] = {
      {{"a.conf"}, {"a.conf"}, "a.conf"},
      {{"a.conf", "b.conf"}, {"a.conf", "b.conf"}, "b.conf"},
      {{"a.conf", "b.conf", "c.conf"}, {"a.conf"}, "a.conf"},
  };
  for (const Case& c : cases) {
    ToolDir dir;
    dir.write("a.conf", kFloating);
    ToolResult r = run_tool(dir, c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.listing(), c.listing);
    std::string converted = dir.read(c.converted);
    EXPECT_EQ(after_first_line(converted), "\n[General]\nFoo = 1\n\n[Misc]\nBar = 2\n");
    if (c.converted != "a.conf") {
      EXPECT_EQ(dir.read("a.conf"), kFloating);
    }
  }
}

TEST(CommandLine, DirectiveWarningNamesTheOutputPath) {
  ToolDir dir;
  dir.write("a.conf", "#include base.conf\nMisc:Bar=2\n");
  ToolResult r = run_tool(dir, {"a.conf", "b.conf"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(after_first_line(r.out),
            "writing pp's\nwriting section: Misc\n"
            "please check the preprocessor directives in 'b.conf' for errors\n");
  EXPECT_EQ(after_first_line(dir.read("b.conf")), "\n#include base.conf\n\n[Misc]\nBar = 2\n");

  // Only after a written file: not after an output that cannot be made.
  ToolResult missing = run_tool(dir, {"a.conf", "none/out.conf"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out.substr(missing.out.find("error")), "error accessing 'none/out.conf'\n");
}

// A standard output that cannot be written fails the run, which still
// writes its file.
TEST(CommandLine, UnwritableStandardOutputFailsTheRun) {
  ToolDir dir;
  dir.write("a.conf", kFloating);
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  ToolResult result = ToolRun(dir, {"a.conf", "b.conf"}, "", 0, {}, -1, full).finish();
  close(full);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "keyfolder: standard output: No space left on device\n");
  EXPECT_EQ(after_first_line(dir.read("b.conf")), "\n[General]\nFoo = 1\n\n[Misc]\nBar = 2\n");
}

// The shell has expanded patterns before the tool starts; expanding them
// again took a file named "x*.conf" for every x*.conf, and a quoted pattern
// for an input and an output.
TEST(CommandLine, ArgumentsAreTakenAsTypedNotExpandedAgain) {
  ToolDir dir;
  dir.write("x*.conf", kFloating);
  dir.write("xa.conf", kFloating);
  ToolResult literal = run_tool(dir, {"x*.conf"});
  EXPECT_EQ(literal.status, 0);
  EXPECT_EQ(after_first_line(dir.read("x*.conf")), "\n[General]\nFoo = 1\n\n[Misc]\nBar = 2\n");
  EXPECT_EQ(dir.read("xa.conf"), kFloating);

  ToolResult pattern = run_tool(dir, {"x?.conf"});
  EXPECT_EQ(pattern.status, 1);
  EXPECT_EQ(after_first_line(pattern.out), "error accessing 'x?.conf'\n");
  EXPECT_EQ(dir.read("xa.conf"), kFloating);
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"x*.conf", "xa.conf"}));
}

}  // namespace
