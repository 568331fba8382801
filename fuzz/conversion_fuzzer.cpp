// libFuzzer target: the whole conversion of one input, through the call that
// converts a text in memory (tool/convert.h), with what every conversion
// must give checked after each call. A violation aborts, which the fuzzer
// reports as a finding:
//  1. every entry of every gathered section is written exactly once, under
//     its own header, and after the stamp line and the comment block the
//     output holds nothing else;
//  2. converting the output again finds it already clean and leaves it
//     alone, unless a written name holds a colon (such a line reads back as
//     a floating key);
//  3. no header, key or directive line of the output is longer than one line
//     piece, so the output reads back line for line, and each ends as the
//     input's first line ends (CR LF or LF);
//  4. its sections are byte for byte what the whole-table reference writer
//     (tests/reference_writer.h) writes for the same input;
//  5. what it reports on standard error about conditional blocks names the
//     lines, and kinds, the model of tests/block_model.h finds;
//  6. the program, run in process on a file of the input, writes the same
//     file (the stamp line's time aside), prints the same and reports the
//     same findings on standard error.
// What the output must hold comes from a parse of its own before the call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "block_model.h"
#include "reference_writer.h"
#include "output/safe_output.h"
#include "support/keytable.h"
#include "support/platform.h"
#include "tool/convert.h"
#include "tool/driver.h"
#include "tool/line_reader.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/writer.h"

namespace {

// Files of one fuzz run, in a directory of their own made at start-up.
std::string work_dir;
std::string input_file;
std::string output_file;
std::string stdout_file;
std::string stderr_file;

// What the conversion of the current input must write.
struct Expected {
  bool converted = false;                                 // the input holds a floating key
  bool name_with_colon = false;                           // some written name holds a colon
  std::vector<std::string> sections;                      // gathered sections, each once
  std::map<std::string, std::vector<std::string>> lines;  // section -> its lines
  std::string line_end = "\n";  // "\r\n" when the input's first line ends so
};

void require(bool condition, const char* property) {
  if (!condition) {
    std::fprintf(stderr, "conversion property violated: %s\n", property);
    std::abort();
  }
}

std::string read_whole(const std::string& path, bool* exists) {
  std::string text;
  FILE* stream = std::fopen(path.c_str(), "rb");
  *exists = stream != nullptr;
  if (stream == nullptr) return text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  std::fclose(stream);
  return text;
}

void write_whole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* stream = std::fopen(path.c_str(), "wb");
  require(stream != nullptr, "the fuzz input can be written");
  require(std::fwrite(data, 1, size, stream) == size, "the fuzz input can be written");
  std::fclose(stream);
}

void remove_work_files() {
  unlink(input_file.c_str());
  unlink(output_file.c_str());
  unlink(stdout_file.c_str());
  unlink(stderr_file.c_str());
  rmdir(work_dir.c_str());
}

// Records one table entry as the writer must write it: the section part up
// to the first colon, the rest as the name; sections whose part is empty or
// begins with '#' are never written.
void expect_entry(const KeyEntry* entry, Expected* expected) {
  const char* key = entry->key;
  const char* colon = std::strchr(key, ':');
  size_t length = colon != nullptr ? static_cast<size_t>(colon - key) : std::strlen(key);
  if (length == 0 || key[0] == '#') return;
  std::string section(key, length);
  std::string line = colon != nullptr ? colon + 1 : "";
  if (line.find(':') != std::string::npos) expected->name_with_colon = true;
  if (entry->value != nullptr) line += " = " + std::string(static_cast<const char*>(entry->value));
  if (expected->lines.count(section) == 0) expected->sections.push_back(section);
  expected->lines[section].push_back(line);
}

// Parses the input into a fresh run of its own (no room reserved); the
// caller ends the run.
void parse_input(const std::string& input) {
  run_begin(input_file.c_str(), output_file.c_str());
  parse_config(input_stream_of_text(input.data(), input.size()));
}

// Parses the input on its own and lists what its conversion must write.
Expected expect_conversion(const std::string& input) {
  Expected expected;
  parse_input(input);
  expected.converted = run.floating_count != 0;
  keytable_each(run.key_table,
                [&expected](const KeyEntry* entry, int32_t) { expect_entry(entry, &expected); });
  run_end();
  return expected;
}

// The sections the whole-table reference writer writes for the input, from
// a run parsed without reserved room.
std::string reference_sections(const std::string& input) {
  parse_input(input);
  TextBuffer written{};
  OutputSink out{nullptr, &written};
  reference_write_sections(&out);
  std::string text(written.bytes, static_cast<size_t>(written.size));
  text_buffer_free(&written);
  run_end();
  return text;
}

// What the program prints on standard error of a conversion's findings.
std::string report_of(const Conversion& conversion) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&bytes, &size);
  require(stream != nullptr, "the report can be captured");
  block_findings_print(&conversion.findings, output_file.c_str(), stream);
  std::fclose(stream);
  std::string text(bytes, size);
  std::free(bytes);
  return text;
}

// `text` with the time of its stamp line (behind a byte-order mark, if
// any) taken out.
std::string without_time(std::string text) {
  size_t at = (text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0) + std::strlen(kStampPrefix);
  if (text.size() >= at + kTimeTextChars) text.erase(at, kTimeTextChars);
  return text;
}

// Runs the tool on `arguments` and returns its standard output; its
// standard error goes to stderr_file.
std::string run_tool(std::vector<const char*> arguments, int* status) {
  std::fflush(stdout);
  std::fflush(stderr);
  require(ftruncate(STDOUT_FILENO, 0) == 0 && lseek(STDOUT_FILENO, 0, SEEK_SET) == 0,
          "standard output can be captured");
  int saved_err = dup(STDERR_FILENO);
  int err = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  require(saved_err >= 0 && err >= 0 && dup2(err, STDERR_FILENO) == STDERR_FILENO,
          "standard error can be captured");
  close(err);
  std::vector<char*> argv;
  for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
  argv.push_back(nullptr);
  *status = run_keyfolder(static_cast<int>(arguments.size()), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_err, STDERR_FILENO);
  close(saved_err);
  bool exists = false;
  return read_whole(stdout_file, &exists);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool is_comment(const std::string& line) {
  return !line.empty() && (line[0] == ';' || line.compare(0, 2, "//") == 0);
}

// Property 1 and 3 on the written text. The sections come last and their
// length is known, so the text splits into the stamp and comment block and
// the sections without guessing; within a section the entries may come in
// any order (the key table's), but each exactly once. Returns the length
// of the sections.
size_t check_output(const std::string& text, const Expected& expected) {
  const size_t end_length = expected.line_end.size();
  size_t sections_length = 0;
  for (const std::string& section : expected.sections) {
    sections_length += end_length;  // the blank line
    if (section != kTopmostSection) sections_length += section.size() + 2 + end_length;
    for (const std::string& line : expected.lines.at(section)) {
      sections_length += line.size() + end_length;
    }
  }
  require(text.size() > sections_length, "the output holds a stamp line and every section");

  // The stamp line (behind a byte-order mark that the input had) and the
  // carried comment lines.
  const std::string head = text.substr(0, text.size() - sections_length);
  size_t start = head.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  require(head.compare(start, std::strlen(kStampPrefix), kStampPrefix) == 0,
          "the output starts with the stamp line");
  size_t stamp_end = head.find('\n', start);
  require(stamp_end != std::string::npos && stamp_end - start <= kLinePieceChars,
          "the stamp line is whole and reads back as one piece");
  for (size_t at = stamp_end + 1; at < head.size();) {
    size_t end = head.find('\n', at);
    if (end == std::string::npos) end = head.size();
    require(is_comment(head.substr(at, end - at)), "only comment lines precede the sections");
    at = end + 1;
  }

  // The sections: a blank line, the header unless it is the topmost
  // section, then exactly the expected lines.
  const std::string body = text.substr(text.size() - sections_length);
  std::map<std::string, std::vector<std::string>> missing = expected.lines;
  std::map<std::string, bool> seen;
  size_t at = 0;
  auto next_line = [&body, &at, &expected]() {
    size_t end = body.find(expected.line_end, at);
    require(end != std::string::npos && body.find('\n', at) == end + expected.line_end.size() - 1,
            "every output line ends with the input's first line end");
    std::string line = body.substr(at, end - at);
    at = end + expected.line_end.size();
    require(line.size() <= static_cast<size_t>(kLinePieceChars),
            "no header, key or directive line is longer than one line piece");
    return line;
  };
  while (at < body.size()) {
    require(next_line().empty(), "a blank line opens every section");
    size_t header_end = body.find(expected.line_end, at);
    std::string header = body.substr(at, header_end == std::string::npos ? 0 : header_end - at);
    std::string section = kTopmostSection;
    for (const std::string& name : expected.sections) {
      if (!seen[name] && name != kTopmostSection && header == "[" + name + "]") section = name;
    }
    require(!seen[section] && missing.count(section) != 0,
            "every section is a gathered one, written once, under its own header");
    seen[section] = true;
    if (section != kTopmostSection) next_line();
    std::vector<std::string>& lines = missing[section];
    for (size_t count = lines.size(); count > 0; --count) {
      std::string line = next_line();
      bool found = false;
      for (size_t i = 0; i < lines.size() && !found; ++i) {
        if (lines[i] == line) {
          lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
          found = true;
        }
      }
      require(found, "every line of a section is one of its entries, written once");
    }
  }
  for (const std::string& name : expected.sections) {
    require(seen[name], "every gathered section is written");
  }
  return sections_length;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  struct stat info {};
  std::string base = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/keyfolder-fuzz.XXXXXX";
  require(mkdtemp(pattern.data()) != nullptr, "a work directory can be made");
  work_dir = pattern;
  input_file = work_dir + "/in.conf";
  output_file = work_dir + "/out.conf";
  stdout_file = work_dir + "/stdout";
  stderr_file = work_dir + "/stderr";
  // The tool's progress lines go to a file that each run reads back.
  int fd = open(stdout_file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  require(fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO, "standard output can be captured");
  close(fd);
  std::atexit(remove_work_files);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Expected expected = expect_conversion(input);
  // The line end, from the input's bytes: CR LF when a CR stands before the
  // first line feed.
  const auto* feed = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  if (feed != nullptr && feed > data && feed[-1] == '\r') expected.line_end = "\r\n";

  Conversion conversion{};
  {
    StoreRecorder recorder;
    conversion = convert_text(input.data(), input.size(), output_file.c_str(), std::time(nullptr));
    require(conversion.status == 0, "a text converts with status 0");
    if (conversion.clean) {
      require(!expected.converted &&
                  std::string(conversion.printed) == "this file is already clean\n",
              "an input without floating keys is reported clean and nothing is written");
    } else {
      require(expected.converted, "an input with floating keys is converted");
      std::string output(conversion.output, conversion.output_size);
      int kinds = 0;
      require(block_report_differs(input, recorder.stores, output, report_of(conversion),
                                   output_file, &kinds)
                  .empty(),
              "the block report names what the model finds");
      size_t sections_length = check_output(output, expected);
      std::string sections = reference_sections(input);
      require(sections.size() == sections_length && ends_with(output, sections),
              "the sections are what the whole-table writer writes");
      if (!expected.name_with_colon) {
        Conversion again = convert_text(output.data(), output.size(), "again", std::time(nullptr));
        require(again.clean, "converting the output again finds it already clean");
        conversion_free(&again);
      }
    }
  }

  // The program, on a file of the same bytes.
  write_whole(input_file, data, size);
  unlink(output_file.c_str());
  int status = -1;
  std::string printed = run_tool({"keyfolder", input_file.c_str(), output_file.c_str()}, &status);
  bool exists = false;
  std::string written = read_whole(output_file, &exists);
  require(status == 0 && exists == !conversion.clean &&
              printed.substr(printed.find('\n') + 1) == conversion.printed &&
              read_whole(stderr_file, &exists) == report_of(conversion),
          "the program prints and reports what the call gives");
  require(conversion.clean ||
              without_time(written) ==
                  without_time(std::string(conversion.output, conversion.output_size)),
          "the program writes what the call gives");
  conversion_free(&conversion);
  return 0;
}
