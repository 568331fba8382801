// Every failure the conversion can meet, made to happen one at a time. Each
// must end the run with its own status and message and leave the file being
// replaced exactly as it was, with no temporary file beside it: also when
// the file is rewritten in place, where the old text is put back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

// Bound on the failure points tried, so a run that never completes fails
// the test instead of looping.
constexpr int kMaxFailurePoints = 20000;

// A second name of the output, which keeps it from being replaced by
// rename: the new text is then copied into the existing file.
const char kSecondName[] = "also.conf";

// The end of the reason of a rewrite in place refused because the old text
// could not be read back.
const char kNoWayBack[] = " (its old text, needed to rewrite it in place, cannot be read)\n";

// `misc_keys` keys in Misc and a few other sections, a comment block,
// directives, a block and a continuation. With 200 keys the key table's
// index and the block report's lists grow while the file is read: those
// growths are among the allocations that fail. The writer works the order
// out without changing the table, and the run releases everything at once,
// so nothing allocates after the output was replaced.
std::string conversion_input(int misc_keys) {
  std::string text =
      "; arena settings\n// second comment\n#define TEAMS 2\n[General]\nName = Test arena\n";
  for (int i = 1; i <= misc_keys; ++i) {
    text += "Misc:K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  }
  text += "[Warbird]\nSpeed=200\n#ifdef TEAMS\nWarbird:Long = first \\\n second\n";
  text += "Spider:Thrust=3\nzeta:a=1\n";
  return text;
}

// The fatal message of running out of memory: the prefix, one of the two texts with
// the requested byte count as plain digits, and the extra line feed.
bool is_memory_message(const std::string& err) {
  const std::string prefix = "Unrecoverable error (3): ";
  if (err == prefix + "strdup error\n\n") return true;
  const std::string head = prefix + "malloc error: requested ";
  const std::string tail = " bytes\n\n";
  if (err.size() <= head.size() + tail.size() || err.compare(0, head.size(), head) != 0 ||
      err.compare(err.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  std::string digits = err.substr(head.size(), err.size() - head.size() - tail.size());
  return digits.find_first_not_of("0123456789") == std::string::npos;
}

// What a run without failures writes of `input`, after the stamp line
// (the time).
std::string converted(const std::string& input) {
  ToolDir dir;
  dir.write("arena.conf", input);
  EXPECT_EQ(run_tool(dir, {"arena.conf"}).status, 0);
  return after_first_line(dir.read("arena.conf"));
}

struct FaultCase {
  const char* name;
  const char* variable;  // the environment switch of keyfolder_faulty
  bool in_place;         // rewrite the input, or replace a second, existing file
  bool linked;           // the output has a second name: it is rewritten in place
  int misc_keys;         // size of the input (each key is one more write)
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase& fault, std::ostream* stream) { *stream << fault.name; }

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

// The run with failure n must fail cleanly for every n up to the number of
// failure points the conversion passes; the first n beyond them converts.
TEST_P(FaultTest, EveryFailurePointLeavesFilesIntact) {
  const FaultCase& fault = GetParam();
  const bool memory = std::string(fault.variable) == "KEYFOLDER_FAIL_ALLOC";
  const std::string input = conversion_input(fault.misc_keys);
  // Longer than one block of a rewrite's copy, so that putting it back
  // after a failed rewrite copies more than one.
  const std::string old_output =
      "; the previous output\n[Misc]\nOld = 1\n" + std::string(70000, ';') + "\n";

  const std::string expected = converted(input);

  const std::string in = "arena.conf";
  const std::string out = fault.in_place ? in : "out.conf";
  // The arguments are also the names the directory must hold afterwards.
  std::vector<std::string> arguments{in};
  if (!fault.in_place) arguments.push_back(out);
  std::vector<std::string> names = arguments;
  if (fault.linked) names.insert(names.begin(), kSecondName);
  // Runs the case in `dir` with `setting` in the environment.
  auto run_case = [&](const ToolDir& dir, const std::string& setting) {
    dir.write(in, input);
    if (!fault.in_place) dir.write(out, old_output);
    if (fault.linked) link(dir.file(out).c_str(), dir.file(kSecondName).c_str());
    return run_binary(KEYFOLDER_FAULTY_BINARY, dir, arguments, {setting});
  };

  // How many failure points a run without failures passes: each of them,
  // made to fail, must fail the run.
  long points = 0;
  {
    ToolDir dir;
    ASSERT_EQ(run_case(dir, "KEYFOLDER_FAULT_COUNT=" + dir.file("count")).status, 0);
    long allocations = 0;
    long operations = 0;
    std::istringstream(dir.read("count")) >> allocations >> operations;
    points = memory ? allocations : operations;
  }

  int failures = 0;
  bool completed = false;
  for (int n = 1; n <= kMaxFailurePoints && !completed; ++n) {
    ToolDir dir;
    ToolResult result = run_case(dir, std::string(fault.variable) + "=" + std::to_string(n));
    SCOPED_TRACE("failure point " + std::to_string(n));

    if (result.status == 0) {
      completed = true;
      EXPECT_EQ(after_first_line(dir.read(out)), expected);
      break;
    }
    ++failures;
    if (memory) {
      EXPECT_EQ(result.status, 3);
      EXPECT_TRUE(is_memory_message(result.err)) << result.err;
    } else {
      // The access error last, with no directive warning (nothing was
      // written to check), and no other complaint.
      const std::string ending = "error accessing '" + out + "'\n";
      EXPECT_EQ(result.status, 1);
      // A rewrite in place also refuses when its old text cannot be read.
      const std::string said = "keyfolder: " + out + ": Input/output error";
      EXPECT_TRUE(result.err == said + "\n" || (fault.linked && result.err == said + kNoWayBack))
          << result.err;
      ASSERT_GE(result.out.size(), ending.size()) << result.out;
      EXPECT_EQ(result.out.substr(result.out.size() - ending.size()), ending) << result.out;
      EXPECT_EQ(result.out.find("error accessing"), result.out.size() - ending.size());
    }
    EXPECT_EQ(dir.read(in), input);
    if (!fault.in_place) {
      EXPECT_EQ(dir.read(out), old_output);
    }
    if (fault.linked) {
      EXPECT_EQ(dir.read(kSecondName), fault.in_place ? input : old_output);
    }
    EXPECT_EQ(dir.listing(), names);
    if (HasFailure()) break;  // one broken point tells enough
  }
  EXPECT_TRUE(completed) << "no run got past all failure points";
  EXPECT_EQ(failures, points) << "a failure the run went on past";
  // The switch must reach real failure points: the fixture alone allocates
  // some thirty times (tables, arrays, blocks, names, comment lines) and
  // writes far over ten times.
  EXPECT_GT(failures, memory ? 20 : 10);
  if (!HasFailure()) {
    std::printf("%s: %d failure points exercised, each left the files intact\n", fault.name,
                failures);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conversion, FaultTest,
    ::testing::Values(
        FaultCase{"AllocationInPlace", "KEYFOLDER_FAIL_ALLOC", true, false, 200},
        FaultCase{"AllocationToSecondFile", "KEYFOLDER_FAIL_ALLOC", false, false, 200},
        FaultCase{"AllocationRewritingInPlace", "KEYFOLDER_FAIL_ALLOC", true, true, 200},
        FaultCase{"OutputInPlace", "KEYFOLDER_FAIL_IO", true, false, 30},
        FaultCase{"OutputToSecondFile", "KEYFOLDER_FAIL_IO", false, false, 30},
        FaultCase{"OutputRewritingInPlace", "KEYFOLDER_FAIL_IO", true, true, 30},
        FaultCase{"OutputRewritingSecondFile", "KEYFOLDER_FAIL_IO", false, true, 30}),
    [](const ::testing::TestParamInfo<FaultCase>& tried) { return std::string(tried.param.name); });

// With every output operation failing from the n-th on, a rewrite in place
// that fails cannot put the old text back either. At each such point a
// whole text must still be on disk: the old one in the file, or the new one
// in the temporary file that standard error names.
TEST(RewriteInPlace, FailureThatCannotBeUndoneKeepsTheNewTextAndNamesIt) {
  const std::string input = conversion_input(30);
  const std::string expected = converted(input);
  const std::string reason = "keyfolder: arena.conf: Input/output error";
  int kept = 0;
  bool completed = false;
  for (int n = 1; n <= kMaxFailurePoints && !completed && !HasFailure(); ++n) {
    ToolDir dir;
    dir.write("arena.conf", input);
    ASSERT_EQ(link(dir.file("arena.conf").c_str(), dir.file(kSecondName).c_str()), 0);
    ToolResult result = run_binary(KEYFOLDER_FAULTY_BINARY, dir, {"arena.conf"},
                                   {"KEYFOLDER_FAIL_IO=" + std::to_string(n) + "+"});
    SCOPED_TRACE("failing from point " + std::to_string(n));
    completed = result.status == 0;
    if (completed) break;
    EXPECT_EQ(result.status, 1);
    // Failed before the output was touched: as a plain failure, or as the
    // refusal of a rewrite whose old text could not be read back.
    if (result.err == reason + "\n" || result.err == reason + kNoWayBack) {
      EXPECT_EQ(dir.read("arena.conf"), input);
      EXPECT_EQ(dir.listing(), (std::vector<std::string>{kSecondName, "arena.conf"}));
      continue;
    }
    // "keyfolder: <file>: the new text is kept in '<dir>/<name>'", said
    // before the failure itself: the name, and that file beside the output
    // holding the whole new text.
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    const std::string head =
        "keyfolder: " + std::string(real) + "/arena.conf: the new text is kept in '" + real + "/";
    const std::string tail = "'\n" + reason + "\n";
    ASSERT_EQ(result.err.compare(0, head.size(), head), 0) << result.err;
    ASSERT_GT(result.err.size(), head.size() + tail.size()) << result.err;
    ASSERT_EQ(result.err.substr(result.err.size() - tail.size()), tail) << result.err;
    std::string name =
        result.err.substr(head.size(), result.err.size() - head.size() - tail.size());
    EXPECT_EQ(after_first_line(dir.read(name)), expected);
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{name, kSecondName, "arena.conf"}));
    // Kept only where the copy reached the output: else nothing needs it.
    EXPECT_NE(dir.read("arena.conf"), input);
    ++kept;
  }
  EXPECT_TRUE(completed) << "no run got past all failure points";
  // The copy into the file, its truncation and its sync can each fail.
  EXPECT_GE(kept, 3);
}

// 300,000 keys need some 30 MB; 16 MB of address space runs out, and the
// file being rewritten in place stays as it was. (A full disk is among the
// output failures of the writer test.)
TEST(LimitTest, AddressSpaceLimitEndsWithStatus3AndKeepsTheFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space at start-up, so the "
                  "program cannot start under a small RLIMIT_AS";
#endif
  std::string input;
  for (int i = 0; i < 300000; ++i) input += "Misc:Key" + std::to_string(i) + "=1\n";
  ToolDir dir;
  dir.write("arena.conf", input);
  ToolResult result = run_tool(dir, {"arena.conf"}, {RLIMIT_AS, 16 * 1024 * 1024});
  EXPECT_EQ(result.status, 3);
  EXPECT_TRUE(is_memory_message(result.err)) << result.err;
  EXPECT_EQ(dir.read("arena.conf"), input);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"arena.conf"});
}

}  // namespace
