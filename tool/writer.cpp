#include "tool/writer.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/alloc.h"
#include "support/platform.h"
#include "support/prefetch.h"
#include "tool/block_check.h"
#include "tool/block_report.h"
#include "tool/line_reader.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/section_names.h"
#include "tool/section_sort.h"

// One section and one entry (declared for the tests in tests/internals.h).
void write_section(OutputSink* output, const char* name, const KeyPlace* places, int32_t count);
void write_entry(OutputSink* output, const char* name, const char* value);

namespace {

// Output stream buffer: large writes instead of one per few lines.
constexpr size_t kOutputBufferBytes = 1 << 16;

// How many entries ahead writing asks for an entry's key text and value,
// which lie scattered over memory (and twice as far ahead for the entry).
constexpr int32_t kWriteAhead = 8;

// The end of every line the writer makes itself: CR LF when the input's
// first line ended so, or a file with CR LF ends would come back with mixed
// ends (its carried comment lines keep theirs); LF otherwise. The Windows
// build reads in text mode, where CR LF arrives as LF, so it never asks for
// CR LF here: its runtime writes every LF as CR LF.
struct LineEnd {
  const char* text;
  size_t length;
};
LineEnd line_end() { return run.crlf ? LineEnd{"\r\n", 2} : LineEnd{"\n", 1}; }

void write_line_end(OutputSink* output) {
  LineEnd end = line_end();
  sink_write(output, end.text, end.length);
}

// Writes `length` bytes and counts their line ends in `lines` (when set).
void write_counted(OutputSink* output, const char* text, size_t length, LineCount* lines) {
  sink_write(output, text, length);
  if (lines != nullptr) line_count_feed(lines, text, length);
}

// Writes one piece of the leading comment block, unless it is an earlier
// stamp line.
void write_comment(OutputSink* output, const char* text, size_t length, LineCount* lines) {
  if (std::strncmp(text, kStampPrefix, kStampPrefixChars) == 0) return;
  write_counted(output, text, length, lines);
  // A NUL byte ends the text of a piece before its real end. Such a cut
  // piece still ends its output line: glued to the next carried piece it
  // would shift where the line splits when read back, and the tail of a
  // comment could read as a key of its own. (A piece that ends at a lone
  // carriage return has its line end already.)
  if (length < static_cast<size_t>(kLinePieceChars) && text[length - 1] != '\n' &&
      text[length - 1] != '\r') {
    write_counted(output, line_end().text, line_end().length, lines);
  }
}

// Where a comment block is written: the output, and where its line ends
// are counted (or null).
struct CommentSink {
  OutputSink* output;
  LineCount* lines;
};

// Writes the input's leading comment block as the parser kept it: its
// pieces lie back to back, each with its terminator.
void write_comments(OutputSink* output, LineCount* lines) {
  CommentSink sink{output, lines};
  arena_walk(
      &run.comments,
      [](char* begin, char* end, void* closure) {
        const auto* into = static_cast<CommentSink*>(closure);
        for (const char* text = begin; text < end;) {
          size_t length = std::strlen(text);
          write_comment(into->output, text, length, into->lines);
          text += length + 1;
        }
      },
      &sink);
}

void write_stamp(OutputSink* output, time_t now, LineCount* lines) {
  char when[kTimeTextChars + 1];
  format_local_time(when, now);
  char stamp[160];
  std::snprintf(stamp, sizeof stamp, "%s%-24.24s (v%s %s)%s", kStampPrefix, when, kVersion, kCredit,
                line_end().text);
  write_counted(output, stamp, std::strlen(stamp), lines);
}

}  // namespace

void write_entry(OutputSink* output, const char* name, const char* value) {
  // The whole line in one write where it fits, which it always does for a
  // table the parser filled (name part and value are cut to their fields).
  size_t name_length = std::strlen(name);
  size_t value_length = value != nullptr ? std::strlen(value) : 0;
  LineEnd end = line_end();
  char line[kComposedKeyChars + kValueChars + 8];
  if (name_length + 3 + value_length + end.length > sizeof line) {
    sink_write(output, name, name_length);
    if (value != nullptr) {
      sink_write(output, " = ", 3);
      sink_write(output, value, value_length);
    }
    write_line_end(output);
    return;
  }
  size_t used = name_length;
  std::memcpy(line, name, used);
  if (value != nullptr) {
    std::memcpy(line + used, " = ", 3);
    std::memcpy(line + used + 3, value, value_length);
    used += 3 + value_length;
  }
  std::memcpy(line + used, end.text, end.length);
  sink_write(output, line, used + end.length);
}

void write_section(OutputSink* output, const char* name, const KeyPlace* places, int32_t count) {
  // Hot: every line of the output (see the benchmark, docs/DEVELOPING.md).
  if (std::strcmp(name, kTopmostSection) == 0) {
    run_print("writing pp's\n");
    write_line_end(output);
  } else {
    run_print("writing section: %s\n", name);
    write_line_end(output);
    sink_write(output, "[", 1);
    sink_write(output, name, std::strlen(name));
    sink_write(output, "]", 1);
    write_line_end(output);
  }
  size_t skip = std::strlen(name) + 1;  // the section part and its colon
  for (int32_t i = 0; i < count; ++i) {
    // The entry, then its key text and value: three places apart in memory.
    if (i + 2 * kWriteAhead < count) prefetch(places[i + 2 * kWriteAhead].entry);
    if (i + kWriteAhead < count) {
      prefetch(places[i + kWriteAhead].entry->key);
      prefetch(places[i + kWriteAhead].entry->value);
    }
    const KeyEntry* entry = places[i].entry;
    write_entry(output, entry->key + skip, static_cast<const char*>(entry->value));
  }
}

void write_sections(OutputSink* output, BlockCheck* check) {
  // Gathering: the sections in the order one enumeration first meets them,
  // then into the order they are written.
  int32_t section_count = run.sections->names.count;
  auto* order = util_alloc_array<int32_t>(section_count);
  int32_t count = keytable_groups_met(run.key_table, section_count, order);
  sort_sections(order, count, run.sections);
  KeyOrder walk = keytable_order(run.key_table, order, count, section_count);
  if (check != nullptr) keytable_order_keep_numbers(&walk);
  for (int32_t i = 0; i < count; ++i) {
    int32_t size = 0;
    const KeyPlace* places = keytable_order_next(&walk, &size);
    const char* name = section_index_name(run.sections, order[i]);
    write_section(output, name, places, size);
    if (check != nullptr) {
      block_check_section(check, order[i], name, keytable_order_numbers(&walk));
    }
  }
  keytable_order_end(&walk);
  util_free(order);
}

bool write_text(OutputSink* output, time_t now, BlockCheck* check) {
  if (run.had_byte_order_mark) sink_write(output, kByteOrderMark, 3);
  // Only a file with directives, or keys written as such, can have blocks,
  // or directives, that moved. Its lines are counted as written: the stamp
  // line, the comment block as it was read (with its own line ends) and
  // the first section's blank line, then one line for each blank line,
  // header and entry.
  bool checking = run.blocks.worth_checking;
  LineCount head{0, '\0'};
  write_stamp(output, now, checking ? &head : nullptr);
  write_comments(output, checking ? &head : nullptr);
  line_count_feed(&head, line_end().text, line_end().length);
  block_check_begin(check, &run.blocks, run.key_table, head.ends);
  write_sections(output, checking ? check : nullptr);
  if (checking) block_check_end(check);
  return checking;
}

void write_config() {
  time_t now = run.converted != nullptr ? run.converted_at : std::time(nullptr);
  BlockCheck check{};
  if (run.converted != nullptr) {
    OutputSink sink{nullptr, run.converted};
    if (write_text(&sink, now, &check)) *run.findings = block_findings_of(&check);
    block_check_free(&check);
    return;
  }
  // In place when the output path is the input's; safe_output_open also
  // finds the input under another name.
  SafeOutput output{};
  if (!safe_output_open(&output, run.output_path, &run.input_identity,
                        std::strcmp(run.output_path, run.input_path) == 0)) {
    report_access_error(run.output_path, output.reason);
    return;
  }
  // Our own buffer: given none, the runtime would ignore the size. It
  // outlives the stream, which the commit below closes.
  static char buffer[kOutputBufferBytes];
  std::setvbuf(output.stream, buffer, _IOFBF, sizeof buffer);
  OutputSink sink{&output, nullptr};
  // The findings are worded before the commit: nothing after it may need
  // memory, whose lack would end the run with the file replaced unreported.
  BlockFindings findings{};
  if (write_text(&sink, now, &check)) findings = block_findings_of(&check);
  if (safe_output_commit(&output)) {
    // Told only once the file is in place, and only of a file in place.
    block_findings_print(&findings, run.output_path, stderr);
  } else {
    report_access_error(run.output_path, output.reason);
  }
  block_findings_free(&findings);
  block_check_free(&check);
}
