#include "tool/block_report.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/alloc.h"
#include "support/text.h"
#include "tool/section_names.h"

namespace {

// Where the two innermost blocks open around a line (0: no such block).
struct OpenerLines {
  uint32_t at;     // where they are open: in the input, the store (counted
                   // as the entries made before it), which a line cannot
                   // say (the pieces of a long line share it)
  uint32_t inner;  // the innermost block's opening line
  uint32_t outer;  // and that of the block around it
};

// What the report reads: the check, and the opening lines of the input's
// blocks open at the stores it names, in store order.
struct Report {
  const BlockCheck* check;
  OpenerLines input[3 * kReportedLines];
  int32_t input_count;
};

// Writes "outside every block" or "inside '<text>'" with its opening line,
// the branch and the block around it with its opening line, as `lines`
// gives them (0: not known).
void describe(const BlockCheck* check, uint32_t context, OpenerLines lines, TextBuffer* out) {
  if (context == 0) {
    text_buffer_puts(out, "outside every block");
    return;
  }
  const BlockMap* map = check->map;
  const BlockNode& node = map->nodes.items[context];
  char text[kBlockTextBytes];
  block_text(map, check->table, context, text);
  text_buffer_printf(out, "inside '%s'", text);
  if (lines.inner != 0) text_buffer_printf(out, " (line %u)", lines.inner);
  if (node.branch > 0) text_buffer_printf(out, ", branch %u", node.branch + 1);
  if (node.parent != 0) {
    block_text(map, check->table, node.parent, text);
    text_buffer_printf(out, ", within '%s'", text);
    if (lines.outer != 0) text_buffer_printf(out, " (line %u)", lines.outer);
  }
}

// The merge of a key stored in several contexts, or null.
const BlockMerge* merge_of(const BlockMap* map, uint32_t entry) {
  uint32_t known = block_input_context(map, entry);
  return (known & kMergedEntry) != 0 ? &map->merges.items[known & kContextBits] : nullptr;
}

// The input context of an entry: for a key stored in several, its first.
uint32_t first_input_context(const BlockMap* map, uint32_t entry) {
  const BlockMerge* merge = merge_of(map, entry);
  return merge != nullptr ? merge->first_context : block_input_context(map, entry) & kContextBits;
}

// Describes context `context` of the input at store `at`.
void describe_input(const Report* report, uint32_t context, uint32_t at, TextBuffer* out) {
  const OpenerLines* end = report->input + report->input_count;
  const OpenerLines* found = std::lower_bound(
      report->input, end, at, [](const OpenerLines& a, uint32_t b) { return a.at < b; });
  describe(report->check, context, found != end && found->at == at ? *found : OpenerLines{},
           out);
}

void describe_output(const Report* report, const BlockFinding& finding, TextBuffer* out) {
  describe(report->check, finding.context,
           OpenerLines{finding.line, finding.opener_line, finding.outer_line}, out);
}

void report_moved(const Report* report, const BlockFinding& finding, TextBuffer* out) {
  const BlockMap* map = report->check->map;
  // A key stored in several blocks moved from where the value it keeps was.
  const BlockMerge* merge = merge_of(map, finding.entry);
  uint32_t context = merge != nullptr ? merge->last_context : first_input_context(map, finding.entry);
  uint32_t line = merge != nullptr ? merge->last_line : block_line_of(map, finding.entry);
  text_buffer_puts(out, "now ");
  describe_output(report, finding, out);
  text_buffer_puts(out, "; in the input ");
  describe_input(report, context, merge != nullptr ? merge->last_at : finding.entry, out);
  text_buffer_printf(out, " (input line %u)", line);
}

void report_merged(const Report* report, const BlockFinding& finding, TextBuffer* out) {
  const BlockCheck* check = report->check;
  const BlockMap* map = check->map;
  const BlockMerge& merge =
      map->merges.items[block_input_context(map, finding.entry) & kContextBits];
  uint32_t first_line = block_line_of(map, finding.entry);
  text_buffer_printf(out, "stored in different blocks in the input: line %u ", first_line);
  describe_input(report, merge.first_context, finding.entry, out);
  text_buffer_printf(out, ", line %u ", merge.other_line);
  describe_input(report, merge.other_context, merge.other_at, out);
  const auto* value = static_cast<const char*>(
      keytable_entry(check->table, static_cast<int32_t>(finding.entry))->value);
  text_buffer_printf(out, "; the output keeps only '%s', from input line %u",
                     value != nullptr ? value : "", merge.last_line);
}

void report_broken(const Report* report, const BlockFinding& finding, TextBuffer* out) {
  const BlockCheck* check = report->check;
  const char* text = keytable_entry(check->table, static_cast<int32_t>(finding.entry))->key;
  text = std::strchr(text, ':') + 1;
  text_buffer_printf(out, "matched in the input (input line %u), ",
                     block_line_of(check->map, finding.entry));
  switch (conditional_of(text)) {
    case Conditional::kOpen:
      text_buffer_puts(out, "but its block is never closed in the output");
      break;
    case Conditional::kNext:
      if (finding.opener_line != 0) {
        text_buffer_printf(out,
                           "but in the output it follows an '#else' of its block, which opens "
                           "at line %u: the block now has a second '#else'",
                           finding.opener_line);
        break;
      }
      text_buffer_puts(out, "but no block is open here in the output: it starts no branch");
      break;
    default:
      text_buffer_puts(out, "but no block is open here in the output: it closes none");
      break;
  }
}

void report_reordered(const Report* report, const BlockFinding& finding, TextBuffer* out) {
  const BlockCheck* check = report->check;
  const char* then = keytable_entry(check->table, static_cast<int32_t>(finding.other))->key;
  then = std::strchr(then, ':') + 1;
  text_buffer_printf(out,
                     "the section's directives stand in another order than in the input, "
                     "where '%.*s' (input line %u) stood here",
                     static_cast<int>(text_trimmed_length(then, std::strlen(then))), then,
                     block_line_of(check->map, finding.other));
}

// A copy of what `text` holds, in the records' texts; `text` is emptied.
const char* keep(BlockFindings* findings, TextBuffer* text) {
  text_buffer_append(text, "", 1);
  auto* copy = static_cast<char*>(arena_carve(&findings->texts, static_cast<size_t>(text->size), 1));
  std::memcpy(copy, text->bytes, static_cast<size_t>(text->size));
  text->size = 0;
  return copy;
}

// The record of one finding.
BlockFindingRecord record_of(const Report* report, const BlockFinding& finding,
                             BlockFindings* findings, TextBuffer* text) {
  const BlockCheck* check = report->check;
  const BlockMap* map = check->map;
  BlockFindingRecord record{};
  record.line = finding.line;
  record.kinds = finding.kinds;
  record.input_line = block_line_of(map, finding.entry);
  record.directive = block_line_is_directive(map, finding.entry);
  const char* key = keytable_entry(check->table, static_cast<int32_t>(finding.entry))->key;
  const char* colon = std::strchr(key, ':');
  auto section = static_cast<size_t>(colon - key);
  bool topmost = section == std::strlen(kTopmostSection) &&
                 std::strncmp(key, kTopmostSection, section) == 0;
  const char* name = colon + 1;
  size_t name_length = std::strlen(name);
  if (record.directive) name_length = text_trimmed_length(name, name_length);
  if (!topmost) text_buffer_append(text, key, section);
  record.section = keep(findings, text);
  text_buffer_append(text, name, name_length);
  record.subject = keep(findings, text);
  describe_output(report, finding, text);
  record.now = keep(findings, text);
  describe_input(report, first_input_context(map, finding.entry), finding.entry, text);
  record.before = keep(findings, text);

  // "[Section] Name" for a key, the quoted text for a directive line
  // ("[Section] '#text'" in a section), then each kind's words.
  if (!topmost) text_buffer_printf(text, "[%s] ", record.section);
  text_buffer_printf(text, record.directive ? "'%s': " : "%s: ", record.subject);
  const struct {
    uint8_t kind;
    void (*say)(const Report*, const BlockFinding&, TextBuffer*);
  } parts[] = {{kMovedFinding, report_moved},
               {kMergedFinding, report_merged},
               {kBrokenFinding, report_broken},
               {kReorderedFinding, report_reordered}};
  bool also = false;
  for (const auto& part : parts) {
    if ((finding.kinds & part.kind) == 0) continue;
    if (also) text_buffer_puts(text, "; also ");
    part.say(report, finding, text);
    also = true;
  }
  record.message = keep(findings, text);
  return record;
}

// Adds the stores the records of `finding` name to `report`: its entry's
// first (made after the entries before it), and a merge's other two.
void ask_input_lines(Report* report, const BlockFinding& finding) {
  OpenerLines* asked = report->input + report->input_count;
  asked[0].at = finding.entry;
  int32_t count = 1;
  if (const BlockMerge* merge = merge_of(report->check->map, finding.entry)) {
    asked[count++].at = merge->other_at;
    asked[count++].at = merge->last_at;
  }
  report->input_count += count;
}

// Finds the opening lines of the blocks open at each asked store. A
// context tells which blocks are open, not which of two alike openers
// opened them: the input's conditional directives are followed again, in
// the order they were made, as the parse followed them. Each directive's context before
// it is known, and the one after it is the next one's before (the parse's
// last, after the last): whether it opened, closed or branched a block
// shows in how the two differ.
void find_input_lines(Report* report) {
  OpenerLines* asked = report->input;
  std::sort(asked, asked + report->input_count,
            [](const OpenerLines& a, const OpenerLines& b) { return a.at < b.at; });
  const BlockMap* map = report->check->map;
  if (!map->following) return;  // every line stood outside every block
  uint32_t* open = nullptr;  // the opening lines of the open blocks
  int32_t capacity = 0;
  int32_t depth = 0;
  int32_t answered = 0;
  bool pending = false;  // a directive whose context after it is still to come
  uint32_t pending_line = 0;
  uint32_t pending_before = 0;
  // Follows the pending directive, given the context after it, then
  // answers the stores asked up to entry `made`, which is not yet.
  auto follow = [&](uint32_t made, uint32_t after) {
    if (pending && after != pending_before) {
      if (map->nodes.items[after].parent == pending_before) {
        util_grow(&open, &capacity, int64_t{depth} + 1);
        open[depth++] = pending_line;
      } else if (after == map->nodes.items[pending_before].parent) {
        --depth;
      }
    }
    for (; answered < report->input_count && asked[answered].at <= made; ++answered) {
      asked[answered].inner = depth > 0 ? open[depth - 1] : 0;
      asked[answered].outer = depth > 1 ? open[depth - 2] : 0;
    }
  };
  for (int32_t entry = 0; entry < map->contexts.count; ++entry) {
    uint32_t known = column_get(&map->contexts, static_cast<uint32_t>(entry));
    if ((known & kConditionalEntry) == 0) continue;
    uint32_t before = first_input_context(map, static_cast<uint32_t>(entry));
    follow(static_cast<uint32_t>(entry), before);
    pending = true;
    pending_line = block_line_of(map, static_cast<uint32_t>(entry));
    pending_before = before;
  }
  follow(UINT32_MAX, map->context);
  util_free(open);
}

}  // namespace

BlockFindings block_findings_of(const BlockCheck* check) {
  BlockFindings findings{};
  if (check->map->too_many) {
    findings.too_many_blocks = true;
    return findings;
  }
  findings.count = check->kept_count;
  findings.not_shown = check->lines - check->kept_count;
  findings.records = util_alloc_array<BlockFindingRecord>(check->kept_count);
  Report report{};
  report.check = check;
  for (int32_t i = 0; i < check->kept_count; ++i) ask_input_lines(&report, check->kept[i]);
  find_input_lines(&report);
  TextBuffer text{};
  for (int32_t i = 0; i < check->kept_count; ++i) {
    findings.records[i] = record_of(&report, check->kept[i], &findings, &text);
  }
  text_buffer_free(&text);
  return findings;
}

void block_findings_print(const BlockFindings* findings, const char* output_path, FILE* out) {
  // Gathered into few writes: standard error writes every call at once,
  // and a hundred system calls cost a small file more than its conversion.
  // (No allocation: the program prints once the output is in place.)
  static char buffer[1 << 14];
  size_t used = 0;
  auto put = [&](const char* text) {
    size_t length = std::strlen(text);
    if (used + length > sizeof buffer) {
      std::fwrite(buffer, 1, used, out);
      used = 0;
    }
    if (length > sizeof buffer) {
      std::fwrite(text, 1, length, out);
    } else {
      std::memcpy(buffer + used, text, length);
      used += length;
    }
  };
  char number[96];
  if (findings->too_many_blocks) {
    put(output_path);
    put(": too many conditional blocks to check\n");
  }
  for (int32_t i = 0; i < findings->count; ++i) {
    std::snprintf(number, sizeof number, ":%u: ", findings->records[i].line);
    put(output_path);
    put(number);
    put(findings->records[i].message);
    put("\n");
  }
  if (findings->not_shown > 0) {
    std::snprintf(number, sizeof number, ": %lld more lines changed (only the first %d are shown)\n",
                  static_cast<long long>(findings->not_shown), kReportedLines);
    put(output_path);
    put(number);
  }
  std::fwrite(buffer, 1, used, out);
}

void block_findings_free(BlockFindings* findings) {
  util_free(findings->records);
  arena_release(&findings->texts);
  *findings = BlockFindings{};
}
