#include "tool/block_check.h"

#include <cstring>

#include "support/text.h"
#include "tool/section_names.h"

namespace {

bool matched_in_input(const BlockMap* map, uint32_t entry) {
  constexpr uint32_t kMatched = kConditionalEntry | kMatchedEntry;
  return (block_input_context(map, entry) & kMatched) == kMatched;
}

void add_finding(BlockCheck* check, const BlockFinding& finding) {
  ++check->lines;
  if (check->kept_count < kReportedLines) check->kept[check->kept_count++] = finding;
}

// Whether entry `entry` takes part in the directive order: a directive
// line made it and it is written as a plain directive.
bool in_directive_order(const BlockCheck* check, uint32_t entry, size_t skip) {
  const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
  return text[0] == '#' && block_line_is_directive(check->map, entry) &&
         conditional_of(text) == Conditional::kNone;
}

// Where, in a section written as `numbers` gives, the first plain
// directive stands whose text differs from the one the input had in its
// place (that one's entry to `*other`); -1 if none does.
int32_t first_reordered(const BlockCheck* check, size_t skip, KeyNumbers numbers,
                        uint32_t* other) {
  // Most sections write their directives in the order they were made, and
  // a section met in creation order writes all its entries so.
  if (numbers.met == numbers.created) return -1;
  bool any = false;
  uint32_t last = 0;
  int32_t i = 0;
  for (; i < numbers.size; ++i) {
    uint32_t entry = numbers.met[i];
    if (!in_directive_order(check, entry, skip)) continue;
    if (any && entry < last) break;
    any = true;
    last = entry;
  }
  if (i == numbers.size) return -1;
  int32_t made = 0;
  for (i = 0; i < numbers.size; ++i) {
    uint32_t entry = numbers.met[i];
    if (!in_directive_order(check, entry, skip)) continue;
    while (!in_directive_order(check, numbers.created[made], skip)) ++made;
    uint32_t before = numbers.created[made++];
    const char* now = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
    const char* then = keytable_entry(check->table, static_cast<int32_t>(before))->key + skip;
    size_t length = text_trimmed_length(now, std::strlen(now));
    if (length != text_trimmed_length(then, std::strlen(then)) || std::memcmp(now, then, length) != 0) {
      *other = before;
      return i;
    }
  }
  return -1;
}

// Follows a conditional directive written as entry `entry` at `line`.
void follow_conditional(BlockCheck* check, uint32_t entry, uint32_t line, Conditional kind,
                        size_t skip) {
  BlockMap* map = check->map;
  List<BlockOpen>* open = &check->open;
  if (kind == Conditional::kOpen) {
    const KeyEntry* written = keytable_entry(check->table, static_cast<int32_t>(entry));
    BlockText text{entry, static_cast<uint8_t>(skip), written->value != nullptr};
    check->context = block_open_context(map, check->table, check->context, text);
    list_push(open, BlockOpen{line, entry, false, check->context});
  } else if (open->count == 0) {
    if (matched_in_input(map, entry)) {
      add_finding(check, BlockFinding{line, entry, 0, 0, 0, 0, kBrokenFinding});
    }
  } else if (kind == Conditional::kNext) {
    // A branch after the block's #else, which the input did not have: a
    // preprocessor rejects the block.
    BlockOpen* block = &open->items[open->count - 1];
    if (block->had_else && matched_in_input(map, entry) &&
        (block_input_context(map, entry) & kAfterElseEntry) == 0) {
      uint32_t outer = open->count > 1 ? open->items[open->count - 2].line : 0;
      add_finding(check,
                  BlockFinding{line, entry, check->context, block->line, outer, 0, kBrokenFinding});
    }
    const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
    if (conditional_is_else(text)) block->had_else = true;
    check->context = block_next_branch(map, check->context);
  } else {
    --open->count;
    check->context = map->nodes.items[check->context].parent;
  }
}

}  // namespace

void block_check_begin(BlockCheck* check, BlockMap* map, const KeyTable* table,
                       uint32_t head_ends) {
  *check = BlockCheck{};
  check->map = map;
  check->table = table;
  check->next_line = head_ends + 1;
  check->first_section = true;
  // Keys written as conditional directives open blocks in the output even
  // when the input had none.
  block_add_root_context(map);
}

void block_check_section(BlockCheck* check, int32_t section, const char* name,
                         KeyNumbers numbers) {
  if (!check->first_section) ++check->next_line;  // its blank line
  check->first_section = false;
  if (std::strcmp(name, kTopmostSection) != 0) ++check->next_line;  // its header
  size_t skip = std::strlen(name) + 1;
  uint32_t other = 0;
  int32_t reordered = first_reordered(check, skip, numbers, &other);
  const BlockMap* map = check->map;
  // Every line of such a section stood outside every block in the input,
  // and none opens or closes one.
  bool plain = !map->conditional_keys && !block_section_in_blocks(map, section);
  if (plain && check->context == 0) {
    // Outside every block in the output too: only the directives' order
    // can have changed.
    if (reordered >= 0) {
      auto line = check->next_line + static_cast<uint32_t>(reordered);
      add_finding(check, BlockFinding{line, numbers.met[reordered], 0, 0, 0, other,
                                      kReorderedFinding});
    }
    check->next_line += static_cast<uint32_t>(numbers.size);
    return;
  }
  if (plain && check->kept_count == kReportedLines) {
    // Inside a block the output left open: every line moved, and the
    // lines to show are found already.
    check->lines += numbers.size;
    check->next_line += static_cast<uint32_t>(numbers.size);
    return;
  }
  for (int32_t i = 0; i < numbers.size; ++i) {
    uint32_t line = check->next_line++;
    uint32_t entry = numbers.met[i];
    // Only a directive line, or a key written as one, opens or closes a
    // block: a key's text need not be read.
    Conditional kind = Conditional::kNone;
    if (map->conditional_keys || block_line_is_directive(map, entry)) {
      const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
      if (text[0] == '#') kind = conditional_of(text);
    }
    if (kind != Conditional::kNone) {
      follow_conditional(check, entry, line, kind, skip);
      continue;
    }
    const List<BlockOpen>& open = check->open;
    BlockFinding finding{line, entry, check->context, 0, 0, 0, 0};
    if (open.count > 0) finding.opener_line = open.items[open.count - 1].line;
    if (open.count > 1) finding.outer_line = open.items[open.count - 2].line;
    uint32_t known = block_input_context(check->map, entry);
    if ((known & kMergedEntry) != 0) {
      finding.kinds |= kMergedFinding;
      // Its line holds the value of the last store alone.
      if (map->merges.items[known & kContextBits].last_context != finding.context) {
        finding.kinds |= kMovedFinding;
      }
    } else if ((known & kContextBits) != finding.context) {
      finding.kinds |= kMovedFinding;
    }
    if (i == reordered) {
      finding.kinds |= kReorderedFinding;
      finding.other = other;
    }
    if (finding.kinds != 0) add_finding(check, finding);
  }
}

void block_check_end(BlockCheck* check) {
  // The blocks still open, their opening lines in order, go in among the
  // kept lines, which came in order too.
  BlockFinding merged[kReportedLines];
  int32_t count = 0;
  int32_t kept = 0;
  for (int32_t i = 0; i < check->open.count; ++i) {
    const BlockOpen& block = check->open.items[i];
    if (!matched_in_input(check->map, block.entry)) continue;
    ++check->lines;
    while (kept < check->kept_count && check->kept[kept].line < block.line &&
           count < kReportedLines) {
      merged[count++] = check->kept[kept++];
    }
    if (count < kReportedLines) {
      // Written where the blocks opened before it were open.
      uint32_t around = i > 0 ? check->open.items[i - 1].line : 0;
      uint32_t outer = i > 1 ? check->open.items[i - 2].line : 0;
      merged[count++] =
          BlockFinding{block.line, block.entry, block.around, around, outer, 0, kBrokenFinding};
    }
  }
  while (kept < check->kept_count && count < kReportedLines) merged[count++] = check->kept[kept++];
  std::memcpy(check->kept, merged, sizeof(BlockFinding) * static_cast<size_t>(count));
  check->kept_count = count;
}

void block_check_free(BlockCheck* check) { list_free(&check->open); }
