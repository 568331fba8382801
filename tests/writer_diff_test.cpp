// The tool's writer (write_sections) against the whole-table reference
// writer, one enumeration per section of a chained table of the format's
// own rules, on many generated inputs: both must write the same sections
// and print the same progress lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "block_model.h"
#include "chained_table.h"
#include "reference_writer.h"
#include "output/safe_output.h"
#include "support/keytable.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/block_check.h"
#include "tool/convert.h"
#include "tool/line_reader.h"
#include "tool/writer.h"

namespace writer_diff {

// What one conversion produced.
struct Result {
  std::string file;      // the sections written
  std::string progress;  // standard output while writing them
  ReferenceMasks masks;  // the reference's table before and after writing
};

// Parses `input` into a fresh run, with room reserved for `reserve`
// entries first unless that is negative, and writes its sections into
// memory with the tool's writer or, with `reference`, the reference writer.
Result convert(const std::string& input, bool reference, int32_t reserve = -1) {
  Result result{};
  run_begin("in.conf", "out.conf");
  TextBuffer printed{};
  TextBuffer written{};
  run.printed = &printed;
  if (reserve >= 0) keytable_reserve(run.key_table, reserve);
  parse_config(input_stream_of_text(input.data(), input.size()));
  keytable_drop_index(run.key_table);
  OutputSink out{nullptr, &written};
  if (reference) {
    result.masks = reference_write_sections(&out);
  } else {
    write_sections(&out);
  }
  result.progress.assign(printed.bytes, static_cast<size_t>(printed.size));
  result.file.assign(written.bytes, static_cast<size_t>(written.size));
  text_buffer_free(&printed);
  text_buffer_free(&written);
  run_end();
  return result;
}

// Section names: some differ only in case (distinct sections whose keys may
// merge), some are never written (leading '#', empty section part), one
// holds a colon, one is the directives' section in another case.
const char* const kSections[] = {"General", "general", "GENERAL", "Misc",       "misc", "Warbird",
                                 "Spider",  "Shark",   "Zone",    "zone",       "Reef", "Lane",
                                 "Dock",    "Gate",    "#hidden", "__TOPMOST__"};
const char* const kNames[] = {"Speed", "speed", "Thrust", "Bounty", "Radius",
                              "Gun",   "Bomb",  "Burst",  "Portal", "Prize"};

// A random arena file: headers (also "[:odd]", "[a:b]", "[#x]"), keys under
// them, floating keys (also with an empty section part), directives (also
// before any header and repeated), replaced keys, comments and blank lines.
// Sections get very different sizes, so the table halves between them.
std::string generate(uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  int sections = static_cast<int>(sizeof kSections / sizeof kSections[0]);
  int names = static_cast<int>(sizeof kNames / sizeof kNames[0]);
  int lines = 20 + pick(seed % 4 == 0 ? 1500 : 300);
  std::string text = "; generated arena " + std::to_string(seed) + "\n";
  if (pick(2) == 0) text += "#define TOP " + std::to_string(pick(3)) + "\n";
  for (int i = 0; i < lines; ++i) {
    // Names and numbered suffixes: a wide suffix range makes new keys, a
    // narrow one replaces earlier ones.
    std::string name =
        std::string(kNames[pick(names)]) + std::to_string(pick(pick(4) == 0 ? 5 : 400));
    std::string value = std::to_string(pick(100000));
    switch (pick(12)) {
      case 0: {
        const char* odd[] = {"[:odd]", "[a:b]", "[#x]", "[Dock]"};
        text += (pick(3) == 0 ? std::string(odd[pick(4)])
                              : "[" + std::string(kSections[pick(sections)]) + "]") +
                "\n";
        break;
      }
      case 1:
      case 2:
      case 3:
        text += std::string(kSections[pick(sections)]) + ":" + name + " = " + value + "\n";
        break;
      case 4: {
        // Conditional directives in several spellings (and two that only
        // look like one), so blocks nest, take branches, span sections
        // and hold floating keys; and plain ones, sometimes repeated.
        const char* forms[] = {"#ifdef FLAG", "#if DEPTH > ", "# ifndef FLAG", "#elif FLAG",
                               "#else ",      "#ENDIF",       "#endif",        "#endif // ",
                               "#include p",  "#define X",    "#elseif ",      "#ifdefined "};
        text += forms[pick(12)] + std::to_string(pick(6)) + (pick(4) == 0 ? "  \n" : "\n");
        break;
      }
      case 5:
        // (Now and then a long gap, as a block of comments leaves.)
        text += pick(2) == 0 ? ":" + name + "=" + value + "\n"
                             : (pick(16) == 0 ? std::string(130, '\n') : "; note\n\n");
        break;
      default:
        text += name + "=" + value + "\n";
        break;
    }
  }
  return text;
}

// Converts `input` with both writers and compares what they write. The
// tool's writer gets a table parsed as the tool parses, with room
// reserved from the input's size: one entry per `bytes_per_entry` bytes,
// which for these inputs is too much room (4), about right (16) or too
// little (64). Returns whether the reference's table halved while being
// written.
bool expect_same_conversion(const std::string& input, const std::string& what,
                            int bytes_per_entry = 16) {
  Result literal = convert(input, true);
  Result fast = convert(input, false, static_cast<int32_t>(input.size()) / bytes_per_entry);
  EXPECT_EQ(fast.file, literal.file) << what;
  EXPECT_EQ(fast.progress, literal.progress) << what;
  return literal.masks.after < literal.masks.before;
}

TEST(WriterDiffTest, WriterMatchesWholeTableWriter) {
  int halved = 0;
  constexpr uint32_t kCases = 300;
  for (uint32_t seed = 1; seed <= kCases && !::testing::Test::HasFailure(); ++seed) {
    const int bytes_per_entry[] = {4, 16, 64};
    if (expect_same_conversion(generate(seed), "seed " + std::to_string(seed),
                               bytes_per_entry[seed % 3])) {
      ++halved;
    }
  }
  // The inputs must exercise halvings between sections, or the comparison
  // proves little about the order of later sections.
  EXPECT_GT(halved, static_cast<int>(kCases / 2));
}

// Inputs aimed at what the sections are gathered from: entries the table
// created, each under the exact text before its key's first colon.
TEST(WriterDiffTest, GatheringEdgesMatchWholeTableWriter) {
  const struct {
    const char* what;
    const char* input;
  } cases[] = {
      {"a section holding only directives",
       "#define TOP 1\n[Dock]\n#ifdef A\n#endif\n[Gate]\nk=1\nGate:x=2\n"},
      // The second and third store replace the first one's value in place.
      {"replaced keys keep their first place",
       "General:Foo=1\n[Misc]\nA=1\n[General]\nfoo=2\nMisc:a=3\nGate:b=4\n[Gate]\nB=5\n"},
      // general:FOO merges into General:Foo: no entry is under "general".
      {"a key merged into a section differing in case",
       "General:Foo=1\ngeneral:FOO=2\nGENERAL:bar=3\ngeneral:BAR=4\nZone:a=5\nzone:A=6\n"},
      {"sections never gathered", "[#x]\nk=1\n#y\n[:x]\nk=2\n:y=3\n[a:b]\nk=4\nDock:z=5\n"},
      // Names the section order cannot rank consistently: the order they
      // are gathered in decides the output.
      {"names the section order ranks inconsistently",
       "Lancaster:a=1\nLan:b=2\nlan:c=3\nLANCASTER:d=4\nLa:e=5\n[lancaster]\nf=6\n"},
  };
  for (const auto& c : cases) expect_same_conversion(c.input, c.what);

  // Large sections have their entries sorted by digits, here in two passes
  // (the table starts with 8,192 buckets), with the bits the halvings after
  // A and after B drop counted in reverse.
  std::string large = "Misc:First=1\n";
  for (auto [section, keys] : {std::pair{"A", 3000}, std::pair{"B", 700}, std::pair{"C", 300}}) {
    large += std::string("[Big") + section + "]\n";
    for (int i = 0; i < keys; ++i) {
      large += "K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    }
  }
  expect_same_conversion(large, "sections of 3000, 700 and 300 keys");
}

// Two sections the section order ranks equal, whose first entries share a
// bucket: zone's entry, then Zone's, then another of zone's. The whole-table
// pass meets zone first, by the earlier entry of the shared chain.
TEST(WriterDiffTest, SectionsMetInOneChainKeepCreationOrder) {
  constexpr uint32_t kMask = 15;  // a table of three entries keeps 16 buckets
  // The skip-th key "<stem><number>" whose bucket is `bucket`. (Zone's and
  // zone's keys get different stems: equal names would merge into one entry.)
  auto key_in = [](const char* stem, uint32_t bucket, int skip) {
    for (int i = 0;; ++i) {
      std::string key = stem + std::to_string(i);
      if ((ChainedTable::hash(key.c_str()) & kMask) == bucket && skip-- == 0) return key;
    }
  };
  uint32_t bucket = ChainedTable::hash("zone:k0") & kMask;
  std::string input =
      "zone:k0=1\n" + key_in("Zone:m", bucket, 0) + "=2\n" + key_in("zone:k", bucket, 1) + "=3\n";
  expect_same_conversion(input, input);
}

// Converts `input` through the call; its output, and the report the
// program prints on standard error for it.
std::string call(const std::string& input, std::string* report) {
  Conversion conversion = convert_text(input.data(), input.size(), "out.conf", 0);
  char* bytes = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&bytes, &size);
  block_findings_print(&conversion.findings, "out.conf", stream);
  std::fclose(stream);
  report->assign(bytes, size);
  std::free(bytes);
  std::string output(conversion.clean ? "" : conversion.output, conversion.output_size);
  conversion_free(&conversion);
  return output;
}

// The report on conditional blocks names exactly the lines, and kinds, the
// model (block_model.h) finds, on generated files with blocks of every
// kind; the files must give every kind of finding between them.
TEST(WriterDiffTest, BlockReportIsWhatTheModelFinds) {
  int kinds_seen = 0;
  for (uint32_t seed = 1; seed <= 300 && !::testing::Test::HasFailure(); ++seed) {
    // Every other file with line ends of every kind the reader knows, so
    // that lines are counted as it splits them, some padded so that a CR LF
    // falls across two pieces.
    std::string input;
    const char* ends[] = {"\n", "\r\n", "\r", "\r\r\n"};
    size_t line_start = 0;
    for (char c : generate(seed)) {
      if (c != '\n' || seed % 2 == 0) {
        input += c;
        continue;
      }
      size_t end = (seed + input.size()) % 4;
      if (end == 1 && seed % 4 == 1) input.resize(line_start + kLinePieceChars - 1, ' ');
      input += ends[end];
      line_start = input.size();
    }
    StoreRecorder recorder;
    std::string err;
    std::string output = call(input, &err);
    EXPECT_EQ(block_report_differs(input, recorder.stores, output, err, "out.conf", &kinds_seen),
              "")
        << "seed " << seed;
  }
  EXPECT_EQ(kinds_seen,
            kMovedFinding | kMergedFinding | kBrokenFinding | kReorderedFinding);
}

}  // namespace writer_diff
