// The report on conditional blocks, one case per kind of finding, end to
// end: the program's standard error, word for word.
#include <gtest/gtest.h>

#include <string>

#include "tool_runner.h"

namespace {

// Converts `input` in a fresh directory; its standard error.
std::string report_of(const std::string& input) {
  ToolDir dir;
  dir.write("in.conf", input);
  ToolResult result = run_tool(dir, {"in.conf", "out.conf"});
  EXPECT_EQ(result.status, 0);
  return result.err;
}

TEST(BlockCheckTest, EachKindOfFindingWordForWord) {
  // Moved: the bundled example's two keys that held on every night.
  EXPECT_EQ(report_of(read_fixture("../../examples/arena.conf")),
            "out.conf:21: [Warbird] InitialSpeed: now inside '#ifdef LEAGUE_NIGHT' (line 20); "
            "in the input outside every block (input line 18)\n"
            "out.conf:23: [Warbird] BulletSpeed: now inside '#ifdef LEAGUE_NIGHT' (line 20); "
            "in the input outside every block (input line 34)\n");
  // Merged: X of both branches is one key; the output keeps one value.
  EXPECT_EQ(report_of("[Misc]\n#ifdef A\nX=1\n#else\nX=2\n#endif\nMisc:F=1\n"),
            "out.conf:5: [Misc] F: now inside '#ifdef A' (line 4); in the input outside every "
            "block (input line 7)\n"
            "out.conf:8: [Misc] X: stored in different blocks in the input: line 3 inside "
            "'#ifdef A', line 5 inside '#ifdef A', branch 2; the output keeps only '2', from "
            "input line 5\n");
  // Broken: the #endif comes out before its #ifdef.
  EXPECT_EQ(report_of("[Misc]\n#ifdef X\nK=1\n#endif\nMisc:F=1\n"),
            "out.conf:5: [Misc] K: now outside every block; in the input inside '#ifdef X' "
            "(input line 3)\n"
            "out.conf:6: [Misc] '#endif': matched in the input (input line 4), but no block is "
            "open here in the output: it closes none\n"
            "out.conf:7: [Misc] '#ifdef X': matched in the input (input line 2), but its block "
            "is never closed in the output\n");
  // Reordered: which file is included first decides which value wins.
  EXPECT_EQ(report_of("[Misc]\n#include one.conf\n#include two.conf\nMisc:F=1\n"),
            "out.conf:4: [Misc] '#include two.conf': the section's directives stand in another "
            "order than in the input, where '#include one.conf' (input line 2) stood here\n");
  // Kept in place and order: nothing to report.
  EXPECT_EQ(report_of("[Misc]\n#include a.conf\n#include b.conf\nMisc:F=1\n"), "");
}

}  // namespace
