// The converted file end to end: layout, the order of sections and keys,
// and the stamp line. How the output is replaced: tests/output/.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "support/platform.h"
#include "tool/convert.h"
#include "tool_runner.h"

namespace {

// Converts `input` through the call, as the program converts a file of it;
// returns the result after checking that it starts with a well-formed stamp
// line, which is cut off.
std::string convert(const std::string& input) {
  Conversion conversion = convert_text(input.data(), input.size(), "a.conf", std::time(nullptr));
  EXPECT_EQ(conversion.status, 0);
  std::string output(conversion.clean ? "" : conversion.output, conversion.output_size);
  conversion_free(&conversion);
  EXPECT_TRUE(is_stamp_line(first_line(output))) << output;
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
  EXPECT_TRUE(is_stamp_line(first_line(first))) << first_line(first);
  EXPECT_EQ(after_first_line(first), read_fixture("worked_conversion.expected"));

  ToolResult again = run_tool(dir, {"worked.conf"});
  EXPECT_EQ(after_first_line(again.out), "this file is already clean\n");
  EXPECT_EQ(dir.read("worked.conf"), first);

  dir.write("worked.conf", first + "Misc:Added=5\n");
  ASSERT_EQ(run_tool(dir, {"worked.conf"}).status, 0);
  std::string second = dir.read("worked.conf");
  EXPECT_TRUE(is_stamp_line(first_line(second)));
  EXPECT_EQ(second.find("; keyfolder'd on ", 1), std::string::npos);
  EXPECT_EQ(after_first_line(second).substr(0, 41), "; arena settings\n// second header line\n\n#");
  EXPECT_NE(second.find("\nAdded = 5\n"), std::string::npos) << second;
}

// The same conversion through the call: the program's bytes and lines, the
// stamp line at the time given, and a second call alike (each call starts a
// fresh run); a text without floating keys is clean and gives no bytes.
TEST(Writer, TheCallConvertsAsTheProgramDoes) {
  const std::string input = read_fixture("worked_conversion.conf");
  const time_t when = 1796083200;
  char time_text[kTimeTextChars + 1];
  format_local_time(time_text, when);
  for (int call = 0; call < 2; ++call) {
    Conversion c = convert_text(input.data(), input.size(), "worked.conf", when);
    ASSERT_FALSE(c.clean);
    const std::string output(c.output, c.output_size);
    EXPECT_EQ(first_line(output).substr(17, kTimeTextChars), time_text) << "call " << call;
    EXPECT_EQ(after_first_line(output), read_fixture("worked_conversion.expected"));
    EXPECT_EQ(c.printed, read_fixture("worked_conversion.stdout")) << "call " << call;
    EXPECT_EQ(c.findings.count, 3) << "call " << call;
    conversion_free(&c);
  }
  Conversion clean = convert_text("[Misc]\nA=1\n", 11, "clean.conf", when);
  EXPECT_TRUE(clean.clean && clean.output == nullptr);
  EXPECT_STREQ(clean.printed, "this file is already clean\n");
  conversion_free(&clean);
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
  EXPECT_TRUE(is_stamp_line(stamp.substr(0, stamp.size() - 2) + "\n")) << stamp;
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
  EXPECT_TRUE(is_stamp_line(first_line(output.substr(3))));
  EXPECT_EQ(after_first_line(output.substr(3)), "; top\n\n[General]\nFoo = 1\n\n[Misc]\nA = 1\n");
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

}  // namespace
