// The report on conditional blocks, one case per kind of finding: the
// program's standard error, word for word, and the records it is made of.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tool/convert.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/writer.h"
#include "tool_runner.h"

namespace {

// Converts `input` through the call; the report the program prints on
// standard error for it, made from the call's records.
std::string report_of(const std::string& input) {
  Conversion conversion = convert_text(input.data(), input.size(), "out.conf", 0);
  EXPECT_EQ(conversion.status, 0);
  char* bytes = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&bytes, &size);
  block_findings_print(&conversion.findings, "out.conf", stream);
  std::fclose(stream);
  std::string report(bytes, size);
  std::free(bytes);
  conversion_free(&conversion);
  return report;
}

TEST(BlockCheckTest, EachKindOfFindingWordForWord) {
  // Moved: the bundled example's two keys that held on every night.
  EXPECT_EQ(report_of(read_fixture("../../examples/arena.conf")),
            "out.conf:21: [Warbird] InitialSpeed: now inside '#ifdef LEAGUE_NIGHT' (line 20); "
            "in the input outside every block (input line 18)\n"
            "out.conf:23: [Warbird] BulletSpeed: now inside '#ifdef LEAGUE_NIGHT' (line 20); "
            "in the input outside every block (input line 34)\n");
  // Merged: X of both branches is one key; the output keeps one value, and
  // the line holding it stands outside the block its input line was in.
  EXPECT_EQ(report_of("[Misc]\n#ifdef A\nX=1\n#else\nX=2\n#endif\nMisc:F=1\n"),
            "out.conf:5: [Misc] F: now inside '#ifdef A' (line 4); in the input outside every "
            "block (input line 7)\n"
            "out.conf:8: [Misc] X: now outside every block; in the input inside '#ifdef A' "
            "(line 2), branch 2 (input line 5); also stored in different blocks in the input: "
            "line 3 inside '#ifdef A' (line 2), line 5 inside '#ifdef A' (line 2), branch 2; the "
            "output keeps only '2', from input line 5\n");
  // Merged and moved: the value kept, from outside every block, now stands
  // in two alike blocks, told apart by their lines.
  EXPECT_EQ(report_of("[Warbird]\n#ifdef FAST\nBulletSpeed=3000\n#endif\nInitialSpeed=2000\n"
                      "#ifdef FAST\nThrust=5\n#endif\nMisc:X=1\nWarbird:BulletSpeed=2400\n"),
            "out.conf:8: [Warbird] InitialSpeed: now inside '#ifdef FAST' (line 7); in the "
            "input outside every block (input line 5)\n"
            "out.conf:10: [Warbird] Thrust: now inside '#ifdef FAST' (line 9), within '#ifdef "
            "FAST' (line 7); in the input inside '#ifdef FAST' (line 6) (input line 7)\n"
            "out.conf:11: [Warbird] BulletSpeed: now inside '#ifdef FAST' (line 9), within "
            "'#ifdef FAST' (line 7); in the input outside every block (input line 10); also "
            "stored in different blocks in the input: line 3 inside '#ifdef FAST' (line 2), line "
            "10 outside every block; the output keeps only '2400', from input line 10\n");
  // Broken: the #endif comes out before its #ifdef.
  EXPECT_EQ(report_of("[Misc]\n#ifdef X\nK=1\n#endif\nMisc:F=1\n"),
            "out.conf:5: [Misc] K: now outside every block; in the input inside '#ifdef X' "
            "(line 2) (input line 3)\n"
            "out.conf:6: [Misc] '#endif': matched in the input (input line 4), but no block is "
            "open here in the output: it closes none\n"
            "out.conf:7: [Misc] '#ifdef X': matched in the input (input line 2), but its block "
            "is never closed in the output\n");
  // Broken: two blocks nested by the reorder, the second #else of the
  // inner one now the outer one's.
  const std::string report = report_of(
      "[Misc]\n#if A\nP=1\n#else\nQ=2\n#endif\n#if B\nR=1\n#else\nS=2\n#endif\nMisc:F=1\n");
  EXPECT_NE(report.find("out.conf:11: [Misc] '#else': matched in the input (input line 9), but "
                        "in the output it follows an '#else' of its block, which opens at line "
                        "5: the block now has a second '#else'\n"),
            std::string::npos)
      << report;
  // Reordered: which file is included first decides which value wins.
  EXPECT_EQ(report_of("[Misc]\n#include one.conf\n#include two.conf\nMisc:F=1\n"),
            "out.conf:4: [Misc] '#include two.conf': the section's directives stand in another "
            "order than in the input, where '#include one.conf' (input line 2) stood here\n");
  // Kept in place and order: nothing to report.
  EXPECT_EQ(report_of("[Misc]\n#include a.conf\n#include b.conf\nMisc:F=1\n"), "");
}

// The records name what the line says, field by field: the merged key
// of the case above, its first input line and the blocks around it.
TEST(BlockCheckTest, RecordsNameTheLineSectionKeyAndBlocks) {
  const std::string input = "[Misc]\n#ifdef A\nX=1\n#else\nX=2\n#endif\nMisc:F=1\n";
  Conversion c = convert_text(input.data(), input.size(), "out.conf", 0);
  ASSERT_EQ(c.findings.count, 2);
  const BlockFindingRecord& x = c.findings.records[1];
  EXPECT_EQ(x.line, 8u);
  EXPECT_EQ(x.kinds, kMovedFinding | kMergedFinding);
  EXPECT_STREQ(x.section, "Misc");
  EXPECT_STREQ(x.subject, "X");
  EXPECT_FALSE(x.directive);
  EXPECT_EQ(x.input_line, 3u);
  EXPECT_STREQ(x.now, "outside every block");
  EXPECT_STREQ(x.before, "inside '#ifdef A' (line 2)");
  conversion_free(&c);

  // A directive's blocks in the output: those it was written in.
  const std::string nested =
      "[Misc]\n#if A\nP=1\n#else\nQ=2\n#endif\n#if B\nR=1\n#else\nS=2\n#endif\nMisc:F=1\n";
  c = convert_text(nested.data(), nested.size(), "out.conf", 0);
  ASSERT_GE(c.findings.count, 6);
  EXPECT_EQ(c.findings.records[4].line, 11u);
  EXPECT_STREQ(c.findings.records[4].now,
               "inside '#if B' (line 5), branch 2, within '#if A' (line 4)");
  conversion_free(&c);

  // The pieces of a long line share its number: an opening line cut to
  // one piece and a key in the next stand on one line, the key inside (its
  // kept value's line, which it moved from).
  const std::string cut = "[Misc]\nX=0\n#if A\n#if B" + std::string(378, ' ') +
                          "X=1\n#endif\n#endif\nMisc:F=1\n";
  c = convert_text(cut.data(), cut.size(), "out.conf", 0);
  ASSERT_GE(c.findings.count, 2);
  EXPECT_NE(std::string(c.findings.records[1].message)
                .find("in the input inside '#if B' (line 4), within '#if A' (line 3) (input line 4)"),
            std::string::npos)
      << c.findings.records[1].message;
  conversion_free(&c);
}

// Past the contexts the flags leave room for, the check gives up and says
// so in one line. The limit (2^28 merges or contexts) needs gigabytes of
// input, so the merges are made to look that many before the first one.
TEST(BlockCheckTest, TooManyContextsGiveOneLine) {
  const std::string input = "[Misc]\n#ifdef A\nX=1\n#endif\nX=2\nMisc:F=1\n";
  run_begin("in.conf", "out.conf");
  TextBuffer written{};
  run.converted = &written;
  BlockFindings findings{};
  run.findings = &findings;
  run.blocks.merges.count = static_cast<int32_t>(kContextBits);
  parse_config(input_stream_of_text(input.data(), input.size()));
  run.blocks.merges.count = 0;
  write_config();
  EXPECT_TRUE(findings.too_many_blocks);
  EXPECT_EQ(findings.count, 0);
  char* bytes = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&bytes, &size);
  block_findings_print(&findings, "out.conf", stream);
  std::fclose(stream);
  EXPECT_EQ(std::string(bytes, size), "out.conf: too many conditional blocks to check\n");
  std::free(bytes);
  block_findings_free(&findings);
  text_buffer_free(&written);
  run_end();
}

}  // namespace
