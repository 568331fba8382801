// The parser seen from outside: the text of a configuration file goes in,
// the key table's entries and the two counters come out.
#include "tool/parser.h"

#include "internals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/arena.h"
#include "support/keytable.h"
#include "tool/line_reader.h"
#include "tool/run_state.h"

using namespace std::string_literals;

namespace {

// One table entry: its key text and its value (none for a directive).
struct Entry {
  std::string key;
  std::optional<std::string> value;
  bool operator==(const Entry& other) const { return key == other.key && value == other.value; }
};

void PrintTo(const Entry& entry, std::ostream* out) {
  *out << '"' << entry.key << "\" -> " << (entry.value ? '"' + *entry.value + '"' : "(none)");
}

struct Parsed {
  std::vector<Entry> entries;
  int32_t floating;
  int32_t directives;
};

// A stream holding exactly `text` (NUL and CR bytes included), at its start.
FILE* stream_of(const std::string& text) {
  FILE* stream = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), stream);
  std::rewind(stream);
  return stream;
}

// Keys folded as the table folds them, so that equal keys sort together.
std::string folded(std::string key) {
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// Entries come in the order they were made; a stable sort by folded key
// keeps that order among equal keys (their order in one chain) while
// hiding the order of the rest.
void sort_by_key(std::vector<Entry>* entries) {
  std::stable_sort(entries->begin(), entries->end(),
                   [](const Entry& a, const Entry& b) { return folded(a.key) < folded(b.key); });
}

Parsed parse_text(const std::string& text) {
  run_begin("in.conf", "in.conf");
  FILE* stream = stream_of(text);
  parse_config(stream);
  std::fclose(stream);
  Parsed parsed{{}, run.floating_count, run.directive_count};
  keytable_each(run.key_table, [&parsed](const KeyEntry* entry, int32_t) {
    const auto* value = static_cast<const char*>(entry->value);
    parsed.entries.push_back(
        {entry->key, value ? std::optional<std::string>(value) : std::nullopt});
  });
  run_end();
  sort_by_key(&parsed.entries);
  return parsed;
}

std::string rep(char c, int count) { return std::string(static_cast<size_t>(count), c); }

// `tail` indented with spaces to a line of exactly `width` characters.
std::string line_of(int width, const std::string& tail) {
  return rep(' ', width - static_cast<int>(tail.size())) + tail;
}

struct ParseCase {
  const char* name;
  std::string input;
  std::vector<Entry> expected;  // in chain order where keys are equal
  int32_t floating;
  int32_t directives;
};

std::vector<ParseCase> parse_cases() {
  const std::string s32 = rep('s', 32);
  const std::string v256 = rep('v', 256);
  // One case per line or two; the layout of a table reads better than one
  // field per line.
  // clang-format off
  return {
      // Line forms.
      {"IndentedHeaderTrimmedWithComment", "   [ Spider ] ; note\nX=1\n",
       {{"Spider:X", "1"}}, 0, 0},
      {"ShortLinesIgnored", "[General]\na=\n x\n#x\na=b\nc= \n",
       {{"General:a", "b"}, {"General:c", ""}}, 0, 0},
      {"BeforeAnyHeader", "a=b\nc= \nx=1\nMisc:X=1\n#include common.conf\n",
       {{"Misc:X", "1"}, {"__topmost__:#include common.conf", std::nullopt}}, 1, 1},
      {"EmptyName", "[General]\n=abc\n", {{"General:", "abc"}}, 0, 0},
      {"CommentsOnlyAtStart", "[General]\n; Misc:Foo=1\n// Misc:Foo=1\n\t; x=1\n"
       "Foo = 1 ; note\nPath=a//b\na/b=1\n",
       {{"General:a/b", "1"}, {"General:Foo", "1 ; note"}, {"General:Path", "a//b"}}, 0, 0},
      {"ColonAfterEqualsIsValue", "[General]\nTime=12:30\na:=b\n",
       {{"General:a:", "b"}, {"General:Time", "12:30"}}, 0, 0},
      {"FloatingTestBeforeHeader", "[a:b=c]\n[Misc] ; see a:b=c\n",
       {{"[a:b", "c]"}, {"[Misc] ; see a:b", "c"}}, 2, 0},
      {"FloatingLeavesCurrentSection", "[General]\nMisc:Bar = 2\nFoo=1\n",
       {{"General:Foo", "1"}, {"Misc:Bar", "2"}}, 1, 0},
      {"HeaderWithColon", "[a:b]\nx=1\n", {{"a:b:x", "1"}}, 0, 0},
      {"BracketRightAfterOpenIsNoHeader", "[General]\n[]x]\nFoo=1\n", {{"General:Foo", "1"}}, 0, 0},
      {"BlankHeaderEmptiesSection", "[General]\n[   ]\nFoo=1\n#if X\n",
       {{"__topmost__:#if X", std::nullopt}}, 0, 1},
      // Replacement and directives.
      {"ReplaceKeepsFirstKeyText", "Misc:Abc=1\n[General]\nFoo=1\nmisc:ABC=2\nFOO=3\n",
       {{"General:Foo", "3"}, {"Misc:Abc", "2"}}, 2, 0},
      {"DirectiveKeepsTrailingWhite", "#define A 1  \r\n[Misc]\n#abc\n#abc\nMisc:#abc=1\n",
       {{"__topmost__:#define A 1  ", std::nullopt}, {"Misc:#abc", "1"},
        {"Misc:#abc", std::nullopt}}, 1, 3},
      {"TopmostDirectiveCut", "#" + rep('d', 69) + "\n",
       {{"__topmost__:#" + rep('d', 66), std::nullopt}}, 0, 1},
      // Continuations.
      {"ThreeLineContinuation", "Misc:Long = first \\\nsecond\\\n  third  \n",
       {{"Misc:Long", "first secondthird"}}, 1, 0},
      {"WhiteRunBeforeBackslashKeepsOne", "Misc:K=a\\\nmore   \\\nend\n",
       {{"Misc:K", "amore end"}}, 1, 0},
      {"ContinuationTakesAnyText", "Misc:K=a\\\n[Misc]\\\n#if X\\\n; text\nx=1\n",
       {{"Misc:K", "a[Misc]#if X; text"}}, 1, 0},
      {"BlankLineClosesContinuation", "[General]\nFoo=a\\\n   \nb=1\n",
       {{"General:b", "1"}, {"General:Foo", "a"}}, 0, 0},
      {"ContinuationKeepsPendingSection", "[General]\nMisc:K=a \\\nb\nFoo=1\n",
       {{"General:Foo", "1"}, {"Misc:K", "a b"}}, 1, 0},
      // A value that is only the mark: empty once it is taken, still open.
      {"LoneBackslashValueContinues", "a:b=\\\ncont\n", {{"a:b", "cont"}}, 1, 0},
      {"OpenAtEndStoredAsAssembled", "[General]\nFoo=a\\\nb\\", {{"General:Foo", "ab"}}, 0, 0},
      {"OpenAtEndAfterFirstLine", "Misc:K=a\\\n", {{"Misc:K", "a"}}, 1, 0},
      {"ContinuedValueCutAt256", "Misc:K=" + rep('v', 200) + "\\\n" + rep('w', 100) + "\\\nx\n",
       {{"Misc:K", rep('v', 200) + rep('w', 56)}}, 1, 0},
      // Field cuts; the cut comes before trailing white space is removed.
      {"Section31", "[" + rep('s', 31) + "]\nk=1\n", {{rep('s', 31) + ":k", "1"}}, 0, 0},
      {"Section32", s32 + ":k=1\n", {{s32 + ":k", "1"}}, 1, 0},
      {"Section33", "[" + rep('s', 33) + "]\nk=1\n", {{s32 + ":k", "1"}}, 0, 0},
      {"SectionCutThenTrimmed", "[" + rep('s', 31) + " x]\nk=1\n",
       {{rep('s', 31) + ":k", "1"}}, 0, 0},
      {"Name47", "Misc:" + rep('n', 47) + "=1\n", {{"Misc:" + rep('n', 47), "1"}}, 1, 0},
      {"Name48", "Misc:" + rep('n', 48) + "=1\n", {{"Misc:" + rep('n', 48), "1"}}, 1, 0},
      {"Name49", "[Misc]\n" + rep('n', 49) + "=1\n", {{"Misc:" + rep('n', 48), "1"}}, 0, 0},
      {"Value255", "Misc:V=" + rep('v', 255) + "\n", {{"Misc:V", rep('v', 255)}}, 1, 0},
      {"Value256", "Misc:V=" + v256 + "\n", {{"Misc:V", v256}}, 1, 0},
      {"Value257", "[Misc]\nV=" + rep('v', 257) + "\n", {{"Misc:V", v256}}, 0, 0},
      {"ValueCutThenTrimmed", "Misc:V=" + rep('v', 255) + " y\n",
       {{"Misc:V", rep('v', 255)}}, 1, 0},
      // A backslash beyond the value's field is cut off and opens nothing.
      {"BackslashPastValueField", "Misc:V=" + v256 + "\\\nMisc:W=1\n",
       {{"Misc:V", v256}, {"Misc:W", "1"}}, 2, 0},
      // Both lines compose to the same first 79 characters.
      {"ComposedKeyCutAt79", "[" + s32 + "]\n" + rep('n', 48) + "=1\n" + rep('n', 46) + "zz=2\n",
       {{s32 + ":" + rep('n', 46), "2"}}, 0, 0},
      // Line pieces of 383 characters.
      {"Line382WithBackslashContinues", line_of(382, "Misc:K=v\\") + "\nMisc:T=tail\n",
       {{"Misc:K", "vMisc:T=tail"}}, 1, 0},
      {"Line383WithBackslashClosedByBareFeed", line_of(383, "Misc:K=v\\") + "\nMisc:T=tail\n",
       {{"Misc:K", "v"}, {"Misc:T", "tail"}}, 2, 0},
      {"Line384BackslashInSecondPiece", line_of(384, "Misc:K=vw\\") + "\nMisc:T=tail\n",
       {{"Misc:K", "vw"}, {"Misc:T", "tail"}}, 2, 0},
      {"Line382", line_of(382, "Misc:K=v") + "\n", {{"Misc:K", "v"}}, 1, 0},
      {"Line383", line_of(383, "Misc:K=v") + "\n", {{"Misc:K", "v"}}, 1, 0},
      {"Line384", line_of(384, "Misc:K=vw") + "\n", {{"Misc:K", "v"}}, 1, 0},
      {"SecondPieceIsALine", "[General]\n" + line_of(383, "Foo=1") + "Misc:Z=2\n",
       {{"General:Foo", "1"}, {"Misc:Z", "2"}}, 1, 0},
      // Line ends: a line is cut at its first CR, whatever follows it.
      {"CrLfLineEnds", "[General]\r\nFoo=1\r\nMisc:K=a \\\r\nb\r\n\r\n",
       {{"General:Foo", "1"}, {"Misc:K", "a b"}}, 1, 0},
      // A lone CR (or a run of them) ends a line like a line feed, so no key
      // after it is lost; CR CR LF is still one line end.
      {"LoneCrEndsLine", "[General]\rFoo=1\nBar=2\rBaz=3\r\rMisc:X=1\r",
       {{"General:Bar", "2"}, {"General:Baz", "3"}, {"General:Foo", "1"}, {"Misc:X", "1"}}, 1, 0},
      {"CrCrLfContinues", "Misc:K=a \\\r\r\nb\r\r\n", {{"Misc:K", "a b"}}, 1, 0},
      // Bytes above 0x7F are text; only a mark at the very start is skipped.
      {"HighByteBeforeHeader", "\xA0[General]\nFoo=1\nMisc:X=1\n", {{"Misc:X", "1"}}, 1, 0},
      {"MarkBeforeFirstHeader", "\xEF\xBB\xBF[General]\nFoo=1\n", {{"General:Foo", "1"}}, 0, 0},
      {"MarkBeforeFloatingKey", "\xEF\xBB\xBFMisc:X=1\n", {{"Misc:X", "1"}}, 1, 0},
      {"MarkOnLaterLineIsText", "[General]\n\xEF\xBB\xBF[Misc]\nFoo=1\n\xEF\xBB\xBFMisc:X=1\n",
       {{"\xEF\xBB\xBFMisc:X", "1"}, {"General:Foo", "1"}}, 1, 0},
      {"SecondMarkIsText", "\xEF\xBB\xBF\xEF\xBB\xBF[General]\nFoo=1\n", {}, 0, 0},
      // A line's text ends at its first NUL.
      {"NulEndsLineText", "[General]\nFoo=1\0Bar=2\nMisc:K=a\\\0x\nb\n\0Misc:Y=1\n"s,
       {{"General:Foo", "1"}, {"Misc:K", "ab"}}, 1, 0},
      {"NulInLongLine", "[General]\nFoo=1\0"s + rep('x', 400) + "\nBar=2\n",
       {{"General:Bar", "2"}, {"General:Foo", "1"}}, 0, 0},
  };
  // clang-format on
}

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

// Test names show the case's name, not its bytes.
void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class ParseConfig : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseConfig, FillsTableAndCounters) {
  const ParseCase& c = GetParam();
  Parsed parsed = parse_text(c.input);
  std::vector<Entry> expected = c.expected;
  sort_by_key(&expected);
  EXPECT_EQ(parsed.entries, expected);
  EXPECT_EQ(parsed.floating, c.floating);
  EXPECT_EQ(parsed.directives, c.directives);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseConfig, testing::ValuesIn(parse_cases()),
                         case_name<ParseCase>);

// The line reader's handling of a byte-order mark: skipped whole, and any
// partial mark comes back as text with nothing lost.
struct ReaderCase {
  const char* name;
  std::string input;
  bool had_mark;
  std::vector<std::string> pieces;
};

void PrintTo(const ReaderCase& c, std::ostream* out) { *out << c.name; }

class LineReaderMark : public testing::TestWithParam<ReaderCase> {};

// Each case read from a file and from the same bytes in memory, which
// must read alike (the call converts texts held in memory).
TEST_P(LineReaderMark, GivesEveryByteBackInPieces) {
  const ReaderCase& c = GetParam();
  FILE* stream = stream_of(c.input);
  for (InputStream input : {input_stream_of_file(stream),
                            input_stream_of_text(c.input.data(), c.input.size())}) {
    LineReader reader = line_reader_start(input);
    std::vector<std::string> pieces;
    char line[kLinePieceChars + 1];
    while (line_reader_next(&reader, line)) pieces.emplace_back(line);
    EXPECT_EQ(std::ferror(stream), 0);
    EXPECT_EQ(reader.had_byte_order_mark, c.had_mark) << (input.file ? "file" : "memory");
    EXPECT_EQ(pieces, c.pieces) << (input.file ? "file" : "memory");
  }
  std::fclose(stream);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Starts, LineReaderMark, testing::Values(
    ReaderCase{"FullMark", "\xEF\xBB\xBFx\ny", true, {"x\n", "y"}},
    ReaderCase{"MarkOnly", "\xEF\xBB\xBF", true, {}},
    ReaderCase{"TwoMarkBytes", "\xEF\xBBxy\nz\n", false, {"\xEF\xBBxy\n", "z\n"}},
    ReaderCase{"TwoMarkBytesThenFeed", "\xEF\xBB\n", false, {"\xEF\xBB\n"}},
    ReaderCase{"FirstMarkByteOnly", "\xEF", false, {"\xEF"}},
    ReaderCase{"FirstMarkByteThenText", "\xEFxy\n", false, {"\xEFxy\n"}},
    // Held bytes count towards the 383 characters of the first piece.
    ReaderCase{"HeldBytesInLongLine", "\xEF\xBB" + rep('x', 390) + "\n", false,
               {"\xEF\xBB" + rep('x', 381), rep('x', 9) + "\n"}},
    ReaderCase{"Empty", "", false, {}},
    ReaderCase{"OneByte", "a", false, {"a"}}),
    case_name<ReaderCase>);
// clang-format on

}  // namespace
