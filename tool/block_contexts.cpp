#include "tool/block_contexts.h"

#include <algorithm>
#include <cstring>

#include "support/text.h"

namespace {

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

// `text` into `bytes` (kBlockTextBytes); its length.
size_t text_bytes(const KeyTable* table, BlockText text, char* bytes) {
  const KeyEntry* entry = keytable_entry(table, static_cast<int32_t>(text.entry));
  size_t used = text_append(bytes, 0, kBlockTextBytes - 1, entry->key + text.offset);
  if (text.with_value && entry->value != nullptr) {
    used = text_append(bytes, used, kBlockTextBytes - 1, " = ");
    used = text_append(bytes, used, kBlockTextBytes - 1, static_cast<const char*>(entry->value));
  }
  used = text_trimmed_length(bytes, used);
  bytes[used] = '\0';
  return used;
}

uint32_t hash_bytes(const void* bytes, size_t length) {
  uint64_t hash = text_hash(static_cast<const char*>(bytes), length, false);
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

// Adds `item`, which the index did not find, to `items` and to `index` at
// its free `slot`; its number. Past the numbers the flags leave room for,
// the map gives up instead (`too_many`) and 0 stands for the item.
template <typename Item>
uint32_t intern_new(BlockMap* map, List<Item>* items, InternIndex* index, InternSlot* slot,
                    uint32_t hash, const Item& item) {
  if (items->count >= static_cast<int32_t>(kContextBits)) {
    map->too_many = true;
    return 0;
  }
  auto id = static_cast<uint32_t>(items->count);
  list_push(items, item);
  intern_index_fill(index, slot, hash, id);
  return id;
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
  char bytes[kBlockTextBytes];
  size_t length = text_bytes(table, text, bytes);
  uint32_t hash = hash_bytes(bytes, length);
  InternSlot* slot = intern_index_find(&map->text_index, hash, [&](uint32_t id) {
    char other[kBlockTextBytes];
    return text_bytes(table, map->texts.items[id], other) == length &&
           std::memcmp(other, bytes, length) == 0;
  });
  map->last_text = slot->item != 0 ? slot->item - 1
                                   : intern_new(map, &map->texts, &map->text_index, slot, hash, text);
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
  const uint32_t key[3] = {parent, branch, text};
  uint32_t hash = hash_bytes(key, sizeof key);
  InternSlot* slot = intern_index_find(&map->node_index, hash, same);
  if (slot->item != 0) return slot->item - 1;
  return intern_new(map, &map->nodes, &map->node_index, slot, hash, wanted);
}

}  // namespace

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

size_t block_text(const BlockMap* map, const KeyTable* table, uint32_t context, char* bytes) {
  return text_bytes(table, map->texts.items[map->nodes.items[context].text], bytes);
}

void block_add_root_context(BlockMap* map) {
  if (map->nodes.count == 0) list_push(&map->nodes, BlockNode{});
}

uint32_t block_open_context(BlockMap* map, const KeyTable* table, uint32_t parent, BlockText text) {
  return intern_node(map, parent, 0, intern_text(map, table, text));
}

uint32_t block_next_branch(BlockMap* map, uint32_t here) {
  BlockNode node = map->nodes.items[here];
  return intern_node(map, node.parent, node.branch + 1, node.text);
}

void block_note_slowly(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                       uint32_t line, Conditional kind, uint8_t text_offset) {
  if (!map->following) {
    // The first conditional directive: every entry before it stands
    // outside every block, context 0.
    map->following = true;
    block_add_root_context(map);
  }
  uint32_t here = map->context;
  // Most stores: a new key outside every block, whose 0 the column holds
  // without a chunk.
  if (map->too_many || (created && kind == Conditional::kNone && here == 0)) return;
  auto entry = static_cast<uint32_t>(number);
  uint32_t flags = kind != Conditional::kNone ? here | kConditionalEntry : here;
  if (!created) {
    flags = column_get(&map->contexts, entry);
    if ((flags & kMergedEntry) != 0) {
      BlockMerge* merge = &map->merges.items[flags & kContextBits];
      merge->last_line = line;
      merge->last_context = here;
      merge->last_at = static_cast<uint32_t>(map->lines.steps.count);
    } else if ((flags & kContextBits) != here) {
      if (map->merges.count >= static_cast<int32_t>(kContextBits)) {
        map->too_many = true;
        return;
      }
      auto merge = static_cast<uint32_t>(map->merges.count);
      auto at = static_cast<uint32_t>(map->lines.steps.count);
      list_push(&map->merges, BlockMerge{flags & kContextBits, line, here, at, line, here, at});
      flags = (flags & ~kContextBits) | kMergedEntry | merge;
    }
  }
  if (kind == Conditional::kOpen) {
    list_push(&map->openers, entry);
    map->context = block_open_context(map, table, here, BlockText{entry, text_offset, false});
  } else if (kind != Conditional::kNone && map->openers.count > 0) {
    uint32_t* block = &map->openers.items[map->openers.count - 1];
    flags |= kMatchedEntry;
    if (kind == Conditional::kNext) {
      if ((*block & kOpenerHadElse) != 0) flags |= kAfterElseEntry;
      if (conditional_is_else(keytable_entry(table, number)->key + text_offset)) {
        *block |= kOpenerHadElse;
      }
      map->context = block_next_branch(map, here);
    } else {
      uint32_t opener = *block & ~kOpenerHadElse;
      column_set(&map->contexts, opener, column_get(&map->contexts, opener) | kMatchedEntry);
      --map->openers.count;
      map->context = map->nodes.items[here].parent;
    }
  }
  if (flags == 0) return;
  column_set(&map->contexts, entry, flags);
  int32_t section = keytable_entry(table, number)->group;
  if (section < 0) return;
  if (section >= map->in_blocks.count) {
    util_grow(&map->in_blocks.items, &map->in_blocks.capacity, int64_t{section} + 1);
    map->in_blocks.count = section + 1;
  }
  map->in_blocks.items[section] = 1;
}

void block_lines_push(BlockLines* lines, uint32_t line, bool directive) {
  auto entry = static_cast<uint32_t>(lines->steps.count);
  uint32_t step = line >= lines->last ? line - lines->last : kLineStepBits;
  if (entry % kLineStride == 0) {
    *column_add(&lines->marks) = line;
    step = 0;
  } else if (step >= kLineStepBits) {
    list_push(&lines->jumps, BlockJump{entry, line});
    step = kLineStepBits;
  }
  *column_add(&lines->steps) = static_cast<uint8_t>(step | (directive ? kLineOfDirective : 0));
  lines->last = line;
}

uint32_t block_line_of(const BlockMap* map, uint32_t entry) {
  const BlockLines* lines = &map->lines;
  uint32_t first = entry - entry % kLineStride;
  uint32_t line = *column_at(&lines->marks, first / kLineStride);
  for (uint32_t e = first + 1; e <= entry; ++e) {
    uint32_t step = *column_at(&lines->steps, e) & kLineStepBits;
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
  column_free(&lines->steps);
  column_free(&lines->marks);
  list_free(&lines->jumps);
  *lines = BlockLines{};
}

void block_parse_end(BlockMap* map, bool any_directive) {
  list_free(&map->openers);
  // Blocks and directives come from directive lines, and from keys written
  // as conditional directives; without either there is nothing to check,
  // and the lines go at once.
  map->worth_checking = any_directive || map->conditional_keys;
#ifdef KEYFOLDER_NO_BLOCK_CHECK
  map->worth_checking = false;
#endif
  if (!map->worth_checking) block_lines_free(&map->lines);
}

void block_map_free(BlockMap* map) {
  block_lines_free(&map->lines);
  column_free(&map->contexts);
  list_free(&map->nodes);
  list_free(&map->texts);
  list_free(&map->merges);
  list_free(&map->openers);
  list_free(&map->in_blocks);
  intern_index_free(&map->node_index);
  intern_index_free(&map->text_index);
  *map = BlockMap{};
}
