#include "tool/block_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/text.h"
#include "tool/section_names.h"

namespace {

constexpr size_t kTextBytes = kBlockTextBytes;

// Slots an interning index starts with.
constexpr uint32_t kFirstSlots = 64;

bool is_word_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether the `length` bytes at `word` are `name` (lower case) without
// regard to case.
bool is_word(const char* word, size_t length, const char* name) {
  if (std::strlen(name) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (text_fold(static_cast<unsigned char>(word[i])) != static_cast<unsigned char>(name[i])) {
      return false;
    }
  }
  return true;
}

// The first word of a directive's text after its '#' and any spaces or
// tabs: where it begins, and its length.
const char* directive_word(const char* text, size_t* length) {
  const char* word = text + 1;
  while (*word == ' ' || *word == '\t') ++word;
  *length = 0;
  while (is_word_byte(word[*length])) ++*length;
  return word;
}

// `text` into `bytes` (kTextBytes); its length.
size_t text_bytes(const KeyTable* table, BlockText text, char* bytes) {
  const KeyEntry* entry = keytable_entry(table, static_cast<int32_t>(text.entry));
  size_t used = text_append(bytes, 0, kTextBytes - 1, entry->key + text.offset);
  if (text.with_value && entry->value != nullptr) {
    used = text_append(bytes, used, kTextBytes - 1, " = ");
    used = text_append(bytes, used, kTextBytes - 1, static_cast<const char*>(entry->value));
  }
  while (used > 0 && text_is_white(bytes[used - 1])) --used;
  bytes[used] = '\0';
  return used;
}

uint32_t hash_bytes(const void* bytes, size_t length) {
  uint64_t hash = text_hash(static_cast<const char*>(bytes), length, false);
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

uint32_t text_hash_of(const KeyTable* table, BlockText text) {
  char bytes[kTextBytes];
  return hash_bytes(bytes, text_bytes(table, text, bytes));
}

uint32_t node_hash(const BlockNode& node) {
  const uint32_t key[3] = {node.parent, node.branch, node.text};
  return hash_bytes(key, sizeof key);
}

// A slot holds an item's number + 1 in its low bits and the top bits of
// the item's hash above them: most slots of other items are passed over
// without a look at the item, which lies elsewhere in memory.
constexpr uint32_t kSlotTagShift = 29;  // numbers stay below kContextBits
constexpr uint32_t kSlotIdMask = (1u << kSlotTagShift) - 1;

uint32_t slot_tag(uint32_t hash) { return hash >> kSlotTagShift << kSlotTagShift; }

// The slot of the item under `hash` that `same` accepts, or else the free
// slot where that item belongs.
template <typename Same>
uint32_t* index_find(BlockIndex* index, uint32_t hash, Same same) {
  if (index->slots == nullptr) {
    index->slots = util_alloc_array<uint32_t>(kFirstSlots);
    index->mask = kFirstSlots - 1;
  }
  uint32_t tag = slot_tag(hash);
  for (uint32_t i = hash;; ++i) {
    uint32_t* slot = &index->slots[i & index->mask];
    if (*slot == 0 || ((*slot & ~kSlotIdMask) == tag && same((*slot & kSlotIdMask) - 1))) {
      return slot;
    }
  }
}

// The item number a slot index_find gave holds, or -1 for a free one.
int64_t slot_item(const uint32_t* slot) {
  return *slot == 0 ? -1 : int64_t{*slot & kSlotIdMask} - 1;
}

// Puts item `id` under `hash` into the free `slot`, doubling the index when
// it is three quarters full; `hash_of(id)` gives an item's hash again.
template <typename HashOf>
void index_fill(BlockIndex* index, uint32_t* slot, uint32_t hash, uint32_t id, HashOf hash_of) {
  *slot = slot_tag(hash) | (id + 1);
  if (++index->used * int64_t{4} <= (int64_t{index->mask} + 1) * 3) return;
  uint32_t mask = index->mask * 2 + 1;
  auto* slots = util_alloc_array<uint32_t>(int64_t{mask} + 1);
  for (uint32_t i = 0; i <= index->mask; ++i) {
    if (index->slots[i] == 0) continue;
    uint32_t j = hash_of((index->slots[i] & kSlotIdMask) - 1);
    while (slots[j & mask] != 0) ++j;
    slots[j & mask] = index->slots[i];
  }
  util_free(index->slots);
  index->slots = slots;
  index->mask = mask;
}

// Adds `item`, which index_find did not find, to `items` and to `index` at
// its free `slot`; its number. Past the numbers the flags leave room for,
// the map gives up instead (`too_many`) and 0 stands for the item.
template <typename Item, typename HashOf>
uint32_t intern_new(BlockMap* map, BlockList<Item>* items, BlockIndex* index, uint32_t* slot,
                    uint32_t hash, const Item& item, HashOf hash_of) {
  if (items->count >= static_cast<int32_t>(kContextBits)) {
    map->too_many = true;
    return 0;
  }
  auto id = static_cast<uint32_t>(items->count);
  block_list_push(items, item);
  index_fill(index, slot, hash, id, hash_of);
  return id;
}

// intern_text without a look at the text asked for last.
uint32_t intern_text_slowly(BlockMap* map, const KeyTable* table, BlockText text) {
  char bytes[kTextBytes];
  size_t length = text_bytes(table, text, bytes);
  uint32_t hash = hash_bytes(bytes, length);
  uint32_t* slot = index_find(&map->text_index, hash, [&](uint32_t id) {
    char other[kTextBytes];
    return text_bytes(table, map->texts.items[id], other) == length &&
           std::memcmp(other, bytes, length) == 0;
  });
  if (slot_item(slot) >= 0) return static_cast<uint32_t>(slot_item(slot));
  return intern_new(map, &map->texts, &map->text_index, slot, hash, text,
                    [map, table](uint32_t item) { return text_hash_of(table, map->texts.items[item]); });
}

// The number of the text equal to `text`'s, `text` itself if it is new.
uint32_t intern_text(BlockMap* map, const KeyTable* table, BlockText text) {
  // Directive lines repeated in a section share their key's text
  // (keytable.h): a repeated opening line is the text last asked for.
  const char* key = keytable_entry(table, static_cast<int32_t>(text.entry))->key;
  if (map->texts.count > 0) {
    BlockText last = map->texts.items[map->last_text];
    if (keytable_entry(table, static_cast<int32_t>(last.entry))->key == key &&
        last.offset == text.offset && last.with_value == text.with_value) {
      return map->last_text;
    }
  }
  map->last_text = intern_text_slowly(map, table, text);
  return map->last_text;
}

// The context of the block with opening text `text` at `branch`, open
// within context `parent`.
uint32_t intern_node(BlockMap* map, uint32_t parent, uint32_t branch, uint32_t text) {
  const BlockNode wanted{parent, branch, text};
  auto same = [map, &wanted](uint32_t id) {
    const BlockNode& node = map->nodes.items[id];
    return node.parent == wanted.parent && node.branch == wanted.branch && node.text == wanted.text;
  };
  // A block opened inside another is, more often than not, the one the
  // input opened right after it: a look next door spares the index.
  if (int64_t{parent} + 1 < map->nodes.count && same(parent + 1)) return parent + 1;
  uint32_t hash = node_hash(wanted);
  uint32_t* slot = index_find(&map->node_index, hash, same);
  if (slot_item(slot) >= 0) return static_cast<uint32_t>(slot_item(slot));
  return intern_new(map, &map->nodes, &map->node_index, slot, hash, wanted,
                    [map](uint32_t item) { return node_hash(map->nodes.items[item]); });
}

// Makes node 0, "outside every block", unless it is made: every other
// context has it at its root.
void add_root_context(BlockMap* map) {
  if (map->nodes.count == 0) block_list_push(&map->nodes, BlockNode{});
}

// The context a conditional directive leaves behind it, in context `here`
// with the innermost block's node.
uint32_t next_branch(BlockMap* map, uint32_t here) {
  BlockNode node = map->nodes.items[here];
  return intern_node(map, node.parent, node.branch + 1, node.text);
}

uint32_t input_context(const BlockMap* map, uint32_t entry) {
  return map->following ? *block_column_at(&map->contexts, entry) : 0;
}

bool matched_in_input(const BlockMap* map, uint32_t entry) {
  constexpr uint32_t kMatched = kConditionalEntry | kMatchedEntry;
  return (input_context(map, entry) & kMatched) == kMatched;
}

void add_finding(BlockCheck* check, const BlockFinding& finding) {
  ++check->lines;
  if (check->kept_count < kReportedLines) check->kept[check->kept_count++] = finding;
}

// Whether entry `entry` takes part in the directive order: a directive
// line made it and it is written as a plain directive.
bool in_directive_order(const BlockCheck* check, uint32_t entry, size_t skip) {
  const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
  return text[0] == '#' && block_line_is_directive(&check->map->lines, entry) &&
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
  BlockList<BlockOpen>* open = &check->open;
  if (kind == Conditional::kOpen) {
    const KeyEntry* written = keytable_entry(check->table, static_cast<int32_t>(entry));
    BlockText text{entry, static_cast<uint8_t>(skip), written->value != nullptr};
    check->context = intern_node(map, check->context, 0, intern_text(map, check->table, text));
    block_list_push(open, BlockOpen{line, entry, false});
  } else if (open->count == 0) {
    if (matched_in_input(map, entry)) {
      add_finding(check, BlockFinding{line, entry, 0, 0, 0, 0, kBrokenFinding});
    }
  } else if (kind == Conditional::kNext) {
    // A branch after the block's #else, which the input did not have: a
    // preprocessor rejects the block.
    BlockOpen* block = &open->items[open->count - 1];
    if (block->had_else && matched_in_input(map, entry) &&
        (input_context(map, entry) & kAfterElseEntry) == 0) {
      add_finding(check, BlockFinding{line, entry, 0, block->line, 0, 0, kBrokenFinding});
    }
    const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
    if (conditional_is_else(text)) block->had_else = true;
    check->context = next_branch(map, check->context);
  } else {
    --open->count;
    check->context = map->nodes.items[check->context].parent;
  }
}

}  // namespace

size_t block_text(const BlockMap* map, const KeyTable* table, uint32_t context, char* bytes) {
  return text_bytes(table, map->texts.items[map->nodes.items[context].text], bytes);
}

uint32_t block_input_context(const BlockMap* map, uint32_t entry) {
  return input_context(map, entry);
}

bool conditional_is_else(const char* text) {
  size_t length = 0;
  const char* word = directive_word(text, &length);
  return is_word(word, length, "else");
}

Conditional conditional_of(const char* text) {
  size_t length = 0;
  const char* word = directive_word(text, &length);
  if (is_word(word, length, "if") || is_word(word, length, "ifdef") ||
      is_word(word, length, "ifndef")) {
    return Conditional::kOpen;
  }
  if (is_word(word, length, "elif") || is_word(word, length, "else")) return Conditional::kNext;
  if (is_word(word, length, "endif")) return Conditional::kClose;
  return Conditional::kNone;
}

void block_note_slowly(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                       uint32_t line, Conditional kind, uint8_t text_offset) {
  if (!map->following) {
    // The first conditional directive: every entry before it stands
    // outside every block, context 0.
    map->following = true;
    add_root_context(map);
    block_column_extend(&map->contexts, number);
  }
  if (map->too_many) return;
  uint32_t here = map->context;
  BlockColumn<uint32_t>* contexts = &map->contexts;
  if (created) {
    block_column_push(contexts, kind != Conditional::kNone ? here | kConditionalEntry : here);
  } else {
    uint32_t* known = block_column_at(contexts, static_cast<uint32_t>(number));
    if ((*known & kMergedEntry) != 0) {
      map->merges.items[*known & kContextBits].last_line = line;
      map->merges.items[*known & kContextBits].last_context = here;
    } else if ((*known & kContextBits) != here) {
      if (map->merges.count >= static_cast<int32_t>(kContextBits)) {
        map->too_many = true;
        return;
      }
      auto merge = static_cast<uint32_t>(map->merges.count);
      block_list_push(&map->merges, BlockMerge{*known & kContextBits, line, here, line, here});
      *known = (*known & ~kContextBits) | kMergedEntry | merge;
    }
  }
  auto entry = static_cast<uint32_t>(number);
  switch (kind) {
    case Conditional::kNone:
      break;
    case Conditional::kOpen: {
      block_list_push(&map->openers, entry);
      BlockText text{entry, text_offset, false};
      map->context = intern_node(map, here, 0, intern_text(map, table, text));
      break;
    }
    case Conditional::kNext: {
      if (map->openers.count == 0) break;
      uint32_t* block = &map->openers.items[map->openers.count - 1];
      *block_column_at(contexts, entry) |=
          kMatchedEntry | ((*block & kOpenerHadElse) != 0 ? kAfterElseEntry : 0);
      if (conditional_is_else(keytable_entry(table, number)->key + text_offset)) {
        *block |= kOpenerHadElse;
      }
      map->context = next_branch(map, here);
      break;
    }
    case Conditional::kClose:
      if (map->openers.count == 0) break;
      *block_column_at(contexts, entry) |= kMatchedEntry;
      *block_column_at(contexts, map->openers.items[--map->openers.count] & ~kOpenerHadElse) |=
          kMatchedEntry;
      map->context = map->nodes.items[here].parent;
      break;
  }
}

void block_lines_push(BlockLines* lines, uint32_t line, bool directive) {
  auto entry = static_cast<uint32_t>(lines->steps.count);
  uint32_t step = line >= lines->last ? line - lines->last : kLineStepBits;
  if (entry % kLineStride == 0) {
    block_column_push(&lines->marks, line);
    step = 0;
  } else if (step >= kLineStepBits) {
    block_list_push(&lines->jumps, BlockJump{entry, line});
    step = kLineStepBits;
  }
  block_column_push(&lines->steps,
                    static_cast<uint8_t>(step | (directive ? kLineOfDirective : 0)));
  lines->last = line;
}

uint32_t block_line_of(const BlockLines* lines, uint32_t entry) {
  uint32_t first = entry - entry % kLineStride;
  uint32_t line = *block_column_at(&lines->marks, first / kLineStride);
  for (uint32_t e = first + 1; e <= entry; ++e) {
    uint32_t step = *block_column_at(&lines->steps, e) & kLineStepBits;
    if (step != kLineStepBits) {
      line += step;
      continue;
    }
    const BlockJump* jump = std::lower_bound(
        lines->jumps.items, lines->jumps.items + lines->jumps.count, e,
        [](const BlockJump& a, uint32_t b) { return a.entry < b; });
    line = jump->line;
  }
  return line;
}

void block_lines_free(BlockLines* lines) {
  block_column_free(&lines->steps);
  block_column_free(&lines->marks);
  block_list_free(&lines->jumps);
  *lines = BlockLines{};
}

void block_parse_end(BlockMap* map, bool any_directive) {
  block_list_free(&map->openers);
  // Blocks and directives come from directive lines, and from keys written
  // as conditional directives; without either there is nothing to check,
  // and the lines go at once.
  map->worth_checking = any_directive || map->conditional_keys;
  if (!map->worth_checking) block_lines_free(&map->lines);
}

void block_map_free(BlockMap* map) {
  block_lines_free(&map->lines);
  block_column_free(&map->contexts);
  block_list_free(&map->nodes);
  block_list_free(&map->texts);
  block_list_free(&map->merges);
  block_list_free(&map->openers);
  util_free(map->node_index.slots);
  util_free(map->text_index.slots);
  *map = BlockMap{};
}

void block_check_begin(BlockCheck* check, BlockMap* map, const KeyTable* table,
                       uint32_t head_ends) {
  *check = BlockCheck{};
  check->map = map;
  check->table = table;
  check->next_line = head_ends + 1;
  check->first_section = true;
  // Keys written as conditional directives open blocks in the output even
  // when the input had none.
  add_root_context(map);
}

void block_check_section(BlockCheck* check, const char* name, KeyNumbers numbers) {
  if (!check->first_section) ++check->next_line;  // its blank line
  check->first_section = false;
  if (std::strcmp(name, kTopmostSection) != 0) ++check->next_line;  // its header
  size_t skip = std::strlen(name) + 1;
  uint32_t other = 0;
  int32_t reordered = first_reordered(check, skip, numbers, &other);
  const BlockMap* map = check->map;
  if (!map->following && !map->conditional_keys) {
    // Every line stands outside every block in the input and the output
    // alike: only the directives' order can have changed.
    if (reordered >= 0) {
      auto line = check->next_line + static_cast<uint32_t>(reordered);
      add_finding(check, BlockFinding{line, numbers.met[reordered], 0, 0, 0, other,
                                      kReorderedFinding});
    }
    check->next_line += static_cast<uint32_t>(numbers.size);
    return;
  }
  for (int32_t i = 0; i < numbers.size; ++i) {
    uint32_t line = check->next_line++;
    uint32_t entry = numbers.met[i];
    const char* text = keytable_entry(check->table, static_cast<int32_t>(entry))->key + skip;
    Conditional kind = text[0] == '#' ? conditional_of(text) : Conditional::kNone;
    if (kind != Conditional::kNone) {
      follow_conditional(check, entry, line, kind, skip);
      continue;
    }
    const BlockList<BlockOpen>& open = check->open;
    BlockFinding finding{line, entry, check->context, 0, 0, 0, 0};
    if (open.count > 0) finding.opener_line = open.items[open.count - 1].line;
    if (open.count > 1) finding.outer_line = open.items[open.count - 2].line;
    uint32_t known = input_context(check->map, entry);
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
      merged[count++] = BlockFinding{block.line, block.entry, 0, 0, 0, 0, kBrokenFinding};
    }
  }
  while (kept < check->kept_count && count < kReportedLines) merged[count++] = check->kept[kept++];
  std::memcpy(check->kept, merged, sizeof(BlockFinding) * static_cast<size_t>(count));
  check->kept_count = count;
}

void block_check_free(BlockCheck* check) { block_list_free(&check->open); }
