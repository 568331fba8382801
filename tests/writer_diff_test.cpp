// write_config against write_config_literal, the one-enumeration-per-section
// form, on many generated inputs: both must write the same file (after the
// stamp line, which holds the time), print the same progress lines and leave
// the same entries, in the same order, in the table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/alloc.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/writer.h"
#include "tool_runner.h"

namespace {

int record_key(const char* key, void* value, void* closure) {
  static_cast<std::vector<std::string>*>(closure)->push_back(key);
  util_free(value);
  return 1;
}

// What one conversion produced.
struct Result {
  std::string file;               // the output after its stamp line
  std::string progress;           // standard output during the writer
  std::vector<std::string> rest;  // keys left in the table, in enumeration order
  int32_t mask_before;            // bucket mask after parsing
  int32_t mask_after;             // bucket mask after writing
};

// Parses in.conf of `dir` into a fresh table and writes it with `writer`.
Result convert(const ToolDir& dir, void (*writer)()) {
  const std::string input = dir.file("in.conf");
  const std::string output = dir.file("out.conf");
  Result result;
  run_state_reset();
  input_path = input.c_str();
  output_path = output.c_str();
  key_table = keytable_new();
  entry_log = entry_log_new();
  FILE* stream = std::fopen(input.c_str(), "r");
  parse_config(stream);
  std::fclose(stream);
  result.mask_before = key_table->mask;

  const std::string captured = dir.file("progress");
  std::fflush(stdout);
  int saved = dup(1);
  int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  writer();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  result.progress = dir.read("progress");

  result.mask_after = key_table->mask;
  keytable_enum(key_table, record_key, &result.rest);
  keytable_free(key_table);
  key_table = nullptr;
  entry_log_free(entry_log);
  entry_log = nullptr;
  result.file = after_first_line(dir.read("out.conf"));
  std::remove(output.c_str());
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
      case 4:
        text += "#ifdef FLAG" + std::to_string(pick(6)) + "\n";
        break;
      case 5:
        text += pick(2) == 0 ? ":" + name + "=" + value + "\n" : "; note\n\n";
        break;
      default:
        text += name + "=" + value + "\n";
        break;
    }
  }
  return text;
}

TEST(WriterDiffTest, OwnBucketsWriterMatchesWholeTableWriter) {
  ToolDir dir;
  int halved = 0;
  constexpr uint32_t kCases = 300;
  for (uint32_t seed = 1; seed <= kCases; ++seed) {
    dir.write("in.conf", generate(seed));
    Result literal = convert(dir, write_config_literal);
    Result fast = convert(dir, write_config);
    ASSERT_EQ(fast.file, literal.file) << "seed " << seed;
    ASSERT_EQ(fast.progress, literal.progress) << "seed " << seed;
    ASSERT_EQ(fast.rest, literal.rest) << "seed " << seed;
    ASSERT_EQ(fast.mask_after, literal.mask_after) << "seed " << seed;
    if (literal.mask_after < literal.mask_before) ++halved;
  }
  // The inputs must exercise halvings between sections, or the comparison
  // proves little about the order of later sections.
  EXPECT_GT(halved, static_cast<int>(kCases / 2));
}

}  // namespace
