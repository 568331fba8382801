// Hostile inputs, generated here rather than stored: the shipped program must
// end normally on each (no crash, no hang, nothing read or written out of
// bounds, which the sanitizer build checks), keep the keys around them, and
// leave the input byte-identical when writing to a second file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

// Fixed-seed noise, the same bytes on every run.
std::string noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 23);
  }
  return bytes;
}

std::string repeat(const std::string& text, size_t times) {
  std::string result;
  result.reserve(text.size() * times);
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

struct HostileCase {
  const char* name;
  std::string input;
  std::vector<std::string> kept;    // whole lines the output must hold; none: input is clean
  std::vector<std::string> absent;  // texts the output must not hold
};

void PrintTo(const HostileCase& hostile, std::ostream* stream) { *stream << hostile.name; }

std::vector<HostileCase> hostile_cases() {
  const std::string after = "\n\nMisc:After=2\n";  // a blank line closes any open value
  std::vector<HostileCase> cases;
  cases.push_back({"BinaryNoise", "Misc:Before=1\n" + noise(64 * 1024) + after,
                   {"[Misc]", "Before = 1", "After = 2"}, {}});
  cases.push_back({"NulBytes",
                   "Misc:Before=1\n" + std::string(4096, '\0') + "\nMisc:Cut=3" +
                       std::string(1, '\0') + "ignored=4\n" + std::string(1, '\0') +
                       "Misc:Hidden=5" + after,
                   {"Before = 1", "Cut = 3", "After = 2"}, {"ignored", "Hidden"}});
  cases.push_back({"SingleLineOfTwoMegabytes", "Misc:Long=" + std::string(2 << 20, 'x') + after,
                   {"Long = " + std::string(256, 'x'), "After = 2"}, {}});
  cases.push_back({"HundredThousandContinuationLines",
                   "Misc:Cont=start\\\n" + repeat("ab\\\n", 100000) + "end\n" + after,
                   {"Cont = start" + repeat("ab", 125) + "a", "After = 2"}, {}});
  cases.push_back({"OnlyBackslashes", std::string(100000, '\\'), {}, {}});
  cases.push_back({"LinesOfBackslashes", "Misc:K=v\\\n" + repeat("\\\\\\\n", 1000) + after,
                   {"K = v" + std::string(255, '\\'), "After = 2"}, {}});

  // Every field over its limit at once, so the writer meets its longest
  // header and its longest line: the section cut to 32, the name to the 46
  // left by the composed key's 79, the value to 256; and a directive under
  // a section cut by the composed key. (The parser test has each cut alone.)
  const std::string s32(32, 'S');
  cases.push_back({"LongestFieldsEverywhere",
                   s32 + "T:" + std::string(49, 'N') + "=" + std::string(257, 'v') +
                       "\n[General]\n#" + std::string(100, 'd') + "\n",
                   {"[" + s32 + "]", std::string(46, 'N') + " = " + std::string(256, 'v'),
                    "#" + std::string(70, 'd')},
                   {}});

  // Section names that fill the text they are kept in exactly, then a
  // shorter and a longer one: comparing the longer name at full width
  // against the last held one read past the end of that text.
  std::string filling;
  for (int i = 0; i < 31; ++i) {
    const std::string number = std::to_string(i);
    filling += "N" + std::string(30 - number.size(), '0') + number + ":k=1\n";
  }
  const std::string longest = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";
  cases.push_back({"SectionNamesFillingTheirText",
                   filling + std::string(29, 'X') + ":k=1\nA:k=1\n" + longest + ":k=1\n",
                   {"[A]", "[" + longest + "]", "[" + std::string(29, 'X') + "]"},
                   {}});
  return cases;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class HostileInputTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInputTest, EndsNormallyKeepsKeysAndLeavesInputAlone) {
  const HostileCase& hostile = GetParam();
  ToolDir dir;
  dir.write("in.conf", hostile.input);
  ToolResult result = run_tool(dir, {"in.conf", "out.conf"});
  EXPECT_EQ(result.status, 0);  // a signal shows as 128 + its number
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(dir.read("in.conf") == hostile.input) << "the input was changed";

  if (hostile.kept.empty()) {
    EXPECT_FALSE(dir.exists("out.conf"));
    EXPECT_NE(result.out.find("this file is already clean\n"), std::string::npos);
    return;
  }
  const std::string output = dir.read("out.conf");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.conf", "out.conf"}));
  std::vector<std::string> lines = split_lines(output);
  for (const std::string& line : hostile.kept) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
        << "missing: " << line.substr(0, 80);
  }
  for (const std::string& text : hostile.absent) {
    EXPECT_EQ(output.find(text), std::string::npos) << "present: " << text.substr(0, 80);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Generated, HostileInputTest, ::testing::ValuesIn(hostile_cases()),
    [](const ::testing::TestParamInfo<HostileCase>& tried) { return std::string(tried.param.name); });

// A million floating keys in one section: every one written exactly once.
TEST(HostileInput, MillionFloatingKeysInOneSection) {
  constexpr int kKeys = 1000000;
  ToolDir dir;
  std::string input;
  input.reserve(static_cast<size_t>(kKeys) * 20);
  for (int i = 0; i < kKeys; ++i) input += "Misc:K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  dir.write("in.conf", input);
  ToolResult result = run_tool(dir, {"in.conf", "out.conf"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(dir.read("in.conf") == input) << "the input was changed";

  std::vector<std::string> lines = split_lines(dir.read("out.conf"));
  auto header = std::find(lines.begin(), lines.end(), "[Misc]");
  ASSERT_NE(header, lines.end());
  ASSERT_EQ(lines.end() - header - 1, kKeys);
  std::vector<bool> seen(kKeys, false);
  for (auto line = header + 1; line != lines.end(); ++line) {
    // "K<i> = <i>", each i once.
    size_t equals = line->find(" = ");
    ASSERT_NE(equals, std::string::npos) << *line;
    int index = std::stoi(line->substr(1, equals - 1));
    ASSERT_EQ(*line, "K" + std::to_string(index) + " = " + std::to_string(index));
    ASSERT_FALSE(seen[static_cast<size_t>(index)]) << "written twice: " << *line;
    seen[static_cast<size_t>(index)] = true;
  }
}

// A file name of the system's longest (255 bytes): the temporary file beside
// it must still have a valid name, or the file could never be converted.
TEST(HostileInput, LongestFileNameIsConverted) {
  ToolDir dir;
  const std::string name(255, 'n');
  dir.write(name, "Misc:A=1\n");
  ToolResult result = run_tool(dir, {name});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(dir.read(name).find("\n[Misc]\nA = 1\n"), std::string::npos);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{name});
}

// Found while checking that converted output reads back clean: a comment
// piece cut short by a NUL byte was glued to the next carried piece, so the
// tail of that comment ("a:b=c") read back as a floating key.
TEST(HostileInput, CommentCutByNulStaysAComment) {
  ToolDir dir;
  const std::string fixture = read_fixture("comment_cut_by_nul.conf");
  ASSERT_FALSE(fixture.empty());
  dir.write("arena.conf", fixture);
  ASSERT_EQ(run_tool(dir, {"arena.conf"}).status, 0);
  const std::string converted = dir.read("arena.conf");
  ToolResult again = run_tool(dir, {"arena.conf"});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("this file is already clean\n"), std::string::npos) << again.out;
  EXPECT_EQ(dir.read("arena.conf"), converted);
}

}  // namespace
