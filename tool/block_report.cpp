#include "tool/block_report.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"
#include "tool/section_names.h"

namespace {

// Writes "outside every block" or "inside '<text>'" with the opening
// line (when not 0), the branch and the block around it.
void describe(const BlockMap* map, const KeyTable* table, uint32_t context, uint32_t opener_line,
              TextBuffer* out) {
  if (context == 0) {
    text_buffer_printf(out, "outside every block");
    return;
  }
  const BlockNode& node = map->nodes.items[context];
  char text[kBlockTextBytes];
  block_text(map, table, context, text);
  text_buffer_printf(out, "inside '%s'", text);
  if (opener_line != 0) text_buffer_printf(out, " (line %u)", opener_line);
  if (node.branch > 0) text_buffer_printf(out, ", branch %u", node.branch + 1);
  if (node.parent != 0) {
    block_text(map, table, node.parent, text);
    text_buffer_printf(out, ", within '%s'", text);
  }
}

uint32_t input_line(const BlockMap* map, uint32_t entry) {
  return block_line_of(&map->lines, entry);
}

// The input context of an entry: for a key stored in several, its first.
uint32_t first_input_context(const BlockMap* map, uint32_t entry) {
  uint32_t known = block_input_context(map, entry);
  if ((known & kMergedEntry) != 0) return map->merges.items[known & kContextBits].first_context;
  return known & kContextBits;
}

void report_moved(const BlockCheck* check, const BlockFinding& finding, TextBuffer* out) {
  text_buffer_printf(out, "now ");
  describe(check->map, check->table, finding.context, finding.opener_line, out);
  text_buffer_printf(out, "; in the input ");
  describe(check->map, check->table, block_input_context(check->map, finding.entry) & kContextBits,
           0, out);
  text_buffer_printf(out, " (input line %u)", input_line(check->map, finding.entry));
}

void report_merged(const BlockCheck* check, const BlockFinding& finding, TextBuffer* out) {
  const BlockMap* map = check->map;
  const BlockMerge& merge =
      map->merges.items[block_input_context(map, finding.entry) & kContextBits];
  text_buffer_printf(out, "stored in different blocks in the input: line %u ",
                     input_line(map, finding.entry));
  describe(map, check->table, merge.first_context, 0, out);
  text_buffer_printf(out, ", line %u ", merge.other_line);
  describe(map, check->table, merge.other_context, 0, out);
  const auto* value = static_cast<const char*>(
      keytable_entry(check->table, static_cast<int32_t>(finding.entry))->value);
  text_buffer_printf(out, "; the output keeps only '%s', from input line %u",
                     value != nullptr ? value : "", merge.last_line);
}

void report_broken(const BlockCheck* check, const BlockFinding& finding, TextBuffer* out) {
  const char* text = keytable_entry(check->table, static_cast<int32_t>(finding.entry))->key;
  text = std::strchr(text, ':') + 1;
  text_buffer_printf(out, "matched in the input (input line %u), ",
                     input_line(check->map, finding.entry));
  switch (conditional_of(text)) {
    case Conditional::kOpen:
      text_buffer_printf(out, "but its block is never closed in the output");
      break;
    case Conditional::kNext:
      text_buffer_printf(out, "but no block is open here in the output: it starts no branch");
      break;
    default:
      text_buffer_printf(out, "but no block is open here in the output: it closes none");
      break;
  }
}

void report_reordered(const BlockCheck* check, const BlockFinding& finding, TextBuffer* out) {
  const char* then = keytable_entry(check->table, static_cast<int32_t>(finding.other))->key;
  then = std::strchr(then, ':') + 1;
  text_buffer_printf(out,
                     "the section's directives stand in another order than in the input, "
                     "where '%.*s' (input line %u) stood here",
                     static_cast<int>(text_trimmed_length(then, std::strlen(then))), then,
                     input_line(check->map, finding.other));
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
BlockFindingRecord record_of(const BlockCheck* check, const BlockFinding& finding,
                             BlockFindings* findings, TextBuffer* text) {
  const BlockMap* map = check->map;
  BlockFindingRecord record{};
  record.line = finding.line;
  record.kinds = finding.kinds;
  record.input_line = input_line(map, finding.entry);
  record.directive = block_line_is_directive(&map->lines, finding.entry);
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
  describe(map, check->table, finding.context, finding.opener_line, text);
  record.now = keep(findings, text);
  describe(map, check->table, first_input_context(map, finding.entry), 0, text);
  record.before = keep(findings, text);

  // "[Section] Name" for a key, the quoted text for a directive line
  // ("[Section] '#text'" in a section), then each kind's words.
  if (!topmost) text_buffer_printf(text, "[%s] ", record.section);
  text_buffer_printf(text, record.directive ? "'%s': " : "%s: ", record.subject);
  const struct {
    uint8_t kind;
    void (*report)(const BlockCheck*, const BlockFinding&, TextBuffer*);
  } parts[] = {{kMovedFinding, report_moved},
               {kMergedFinding, report_merged},
               {kBrokenFinding, report_broken},
               {kReorderedFinding, report_reordered}};
  bool also = false;
  for (const auto& part : parts) {
    if ((finding.kinds & part.kind) == 0) continue;
    if (also) text_buffer_printf(text, "; also ");
    part.report(check, finding, text);
    also = true;
  }
  record.message = keep(findings, text);
  return record;
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
  TextBuffer text{};
  for (int32_t i = 0; i < check->kept_count; ++i) {
    findings.records[i] = record_of(check, check->kept[i], &findings, &text);
  }
  text_buffer_free(&text);
  return findings;
}

void block_findings_print(const BlockFindings* findings, const char* output_path, FILE* out) {
  if (findings->too_many_blocks) {
    std::fprintf(out, "%s: too many conditional blocks to check\n", output_path);
    return;
  }
  for (int32_t i = 0; i < findings->count; ++i) {
    std::fprintf(out, "%s:%u: %s\n", output_path, findings->records[i].line,
                 findings->records[i].message);
  }
  if (findings->not_shown > 0) {
    std::fprintf(out, "%s: %lld more lines changed (only the first %d are shown)\n", output_path,
                 static_cast<long long>(findings->not_shown), kReportedLines);
  }
}

void block_findings_free(BlockFindings* findings) {
  util_free(findings->records);
  arena_release(&findings->texts);
  *findings = BlockFindings{};
}
