// Conditional blocks (#if, #ifdef or #ifndef ... #elif or #else ... #endif)
// around every line, in the input and in the output, and the lines the
// reorder moved into, out of or between them.
//
// The parser notes each store (block_note_store): its input line and, once
// the input has held a conditional directive, the blocks open at it. The
// writer then follows what it writes (block_check_*), and once the output
// is in place block_report names on standard error each output line whose
// blocks changed, and the first directive of each section whose plain
// directives changed order. A list of open blocks (a context) is interned:
// two contexts compare as two numbers. Cost: a line number per entry, a
// context per entry once a conditional directive was met, a node per
// distinct context; none of the input's text. Running out of memory ends
// the process (util_fatal).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/alloc.h"
#include "support/keytable.h"
#include "support/keytable_order.h"

// What a directive line does to the blocks: its first word after the '#'
// and any spaces or tabs, compared without regard to case and ended by a
// byte that is no ASCII letter, digit or '_'.
enum class Conditional : uint8_t {
  kNone,   // a plain directive
  kOpen,   // if, ifdef, ifndef: opens a block
  kNext,   // elif, else: the next branch of the innermost open block
  kClose,  // endif: closes the innermost open block
};
Conditional conditional_of(const char* text);  // `text` from its '#'
bool conditional_is_else(const char* text);    // its word is "else"

// A growable array of plain items, released with block_list_free.
template <typename Item>
struct BlockList {
  Item* items;
  int32_t capacity;
  int32_t count;
};

// An item per entry, kept in chunks as the table keeps its entries: it
// grows without copying and holds little room to spare. Released with
// block_column_free.
template <typename Item>
struct BlockColumn {
  Item** chunks;           // chunk c holds entries c << kKeyChunkBits on (heap, each)
  int32_t chunk_capacity;  // chunk pointers allocated
  int32_t count;           // entries held
};

template <typename Item>
Item* block_column_at(const BlockColumn<Item>* column, uint32_t entry) {
  constexpr uint32_t kChunkMask = (1u << kKeyChunkBits) - 1;
  return &column->chunks[entry >> kKeyChunkBits][entry & kChunkMask];
}

// Makes the column hold `count` entries, the new ones 0.
template <typename Item>
void block_column_extend(BlockColumn<Item>* column, int32_t count) {
  constexpr int32_t kChunkEntries = 1 << kKeyChunkBits;
  int32_t chunks = (count + kChunkEntries - 1) >> kKeyChunkBits;
  int32_t made = (column->count + kChunkEntries - 1) >> kKeyChunkBits;
  if (chunks > made) util_grow(&column->chunks, &column->chunk_capacity, chunks);
  for (; made < chunks; ++made) column->chunks[made] = util_alloc_array<Item>(kChunkEntries);
  column->count = count;
}

template <typename Item>
void block_column_push(BlockColumn<Item>* column, Item value) {
  constexpr int32_t kChunkMask = (1 << kKeyChunkBits) - 1;
  if ((column->count & kChunkMask) == 0) {
    block_column_extend(column, column->count + 1);
  } else {
    ++column->count;
  }
  *block_column_at(column, static_cast<uint32_t>(column->count - 1)) = value;
}

template <typename Item>
void block_column_free(BlockColumn<Item>* column) {
  constexpr int32_t kChunkEntries = 1 << kKeyChunkBits;
  for (int32_t c = 0; c < (column->count + kChunkEntries - 1) >> kKeyChunkBits; ++c) {
    util_free(column->chunks[c]);
  }
  util_free(column->chunks);
  *column = BlockColumn<Item>{};
}

// The input line of every entry and whether a directive line made it, in
// about a byte per entry: entries are made in input order, so each line
// is kept as its step from the line of the entry before, with the exact
// line of every kLineStride-th entry and, for a step too long for its
// byte, of that entry too.
constexpr int32_t kLineStride = 64;
constexpr uint8_t kLineStepBits = 0x7F;  // the step; all set: look it up
constexpr uint8_t kLineOfDirective = 0x80;
struct BlockJump {
  uint32_t entry;
  uint32_t line;
};
struct BlockLines {
  BlockColumn<uint8_t> steps;    // entry -> step | kLineOfDirective
  BlockColumn<uint32_t> marks;   // entry / kLineStride -> that entry's line
  BlockList<BlockJump> jumps;    // entries whose step is too long, in order
  uint32_t last;                 // the line of the entry made last
};

// Notes the line of the entry made next.
void block_lines_push(BlockLines* lines, uint32_t line, bool directive);
uint32_t block_line_of(const BlockLines* lines, uint32_t entry);
inline bool block_line_is_directive(const BlockLines* lines, uint32_t entry) {
  return (*block_column_at(&lines->steps, entry) & kLineOfDirective) != 0;
}
void block_lines_free(BlockLines* lines);

// A block's opening text: entry `entry`'s key from byte `offset` on, and
// " = " and its value after it when `with_value`, trailing white space cut.
struct BlockText {
  uint32_t entry;
  uint8_t offset;
  bool with_value;
};

// A context: the blocks open at a line. Node 0 stands for none.
struct BlockNode {
  uint32_t parent;  // the context around the innermost block
  uint32_t branch;  // the innermost block's branch: 0 before its first elif/else
  uint32_t text;    // the innermost block's opening text (BlockMap::texts)
};

// An interning index: slots holding an item's number + 1 (0: free), found
// by the item's hash, which is worked out again when the index grows.
struct BlockIndex {
  uint32_t* slots;  // mask + 1 of them, at most three quarters in use (heap)
  uint32_t mask;
  int32_t used;
};

// A key stored from lines of different contexts.
struct BlockMerge {
  uint32_t first_context;  // the context of its first line
  uint32_t other_line;     // the first line of another context, and that context
  uint32_t other_context;
  uint32_t last_line;     // the line whose value the output keeps, and its
  uint32_t last_context;  // context
};

// What the parse leaves for the check, entry by entry.
struct BlockMap {
  BlockLines lines;                // entry -> the input line of its first store
  BlockColumn<uint32_t> contexts;  // entry -> its context, or a merge's number and
                         // kMergedEntry, with kConditionalEntry and
                         // kMatchedEntry for a conditional directive
  bool following;        // a conditional directive was met: `contexts` is
                         // kept (before, every line is outside every block)
  bool conditional_keys;  // a key is written as a conditional directive
                          // would be (its name begins "#if", say)
  bool worth_checking;    // set at the parse's end: the output is to be
                          // checked (a directive line or such a key was met)
  BlockList<BlockNode> nodes;
  BlockList<BlockText> texts;
  BlockList<BlockMerge> merges;
  BlockList<uint32_t> openers;  // the entries of the input's open blocks,
                                // with kOpenerHadElse once an #else of it came
  BlockIndex node_index;
  BlockIndex text_index;
  uint32_t last_text;  // the text interned last
  uint32_t context;    // the input's context at the next store
  bool too_many;     // more contexts than the flags leave room for: not checked
};

constexpr uint32_t kConditionalEntry = 1u << 31;  // made by a conditional directive...
constexpr uint32_t kMatchedEntry = 1u << 30;      // ...that the input matched
constexpr uint32_t kMergedEntry = 1u << 29;       // the rest is a merge's number
constexpr uint32_t kAfterElseEntry = 1u << 28;    // an #else or #elif after an
                                                  // #else of its block
constexpr uint32_t kContextBits = kAfterElseEntry - 1;
constexpr uint32_t kOpenerHadElse = 1u << 31;  // in BlockMap::openers

// Notes a store the key table has carried out, in input order: entry
// `number` (made by it when `created`), the input `line` it stands on (a
// continued key's first), and for a directive line what it does and where
// its text begins in the key (`text_offset`, which is 0 for a key).
inline void block_note_store(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                             uint32_t line, Conditional kind, uint8_t text_offset);

// Ends the parse's part: lets go of what only the parse needed, and of
// everything when nothing in the output can have moved between blocks or
// changed order (worth_checking false).
void block_parse_end(BlockMap* map, bool any_directive);

// Releases everything the map holds and empties it.
void block_map_free(BlockMap* map);

// One output line with findings.
struct BlockFinding {
  uint32_t line;         // its number in the output, from 1
  uint32_t entry;        // the entry written there
  uint32_t context;      // its output context
  uint32_t opener_line;  // the output line of that context's innermost block
                         // (broken #else or #elif: of its own block)
  uint32_t outer_line;   // and of the block around that one (0: none)
  uint32_t other;        // reordered: the entry the input had in this place
  uint8_t kinds;         // kMovedFinding | ...
};
constexpr uint8_t kMovedFinding = 1;      // its input context (a merged key's:
                                          // its kept value's) differs
constexpr uint8_t kMergedFinding = 2;     // stored from lines of different contexts
constexpr uint8_t kBrokenFinding = 4;     // matched in the input, not here
constexpr uint8_t kReorderedFinding = 8;  // the section's plain directives changed order

// The findings kept for the report: the first lines by number.
constexpr int32_t kReportedLines = 100;

struct BlockOpen {  // an open block of the output: its opening line
  uint32_t line;
  uint32_t entry;
  bool had_else;  // an #else of it has been written
};

// The walk over the output as it is written.
struct BlockCheck {
  BlockMap* map;
  const KeyTable* table;
  uint32_t next_line;  // the output line written next
  bool first_section;
  BlockList<BlockOpen> open;  // the output's open blocks, outermost first
  uint32_t context;           // the output's context: the innermost's, whose
                              // parents are those of the blocks around it
  BlockFinding kept[kReportedLines];  // in line order
  int32_t kept_count;
  int64_t lines;  // output lines with findings, kept or not
};

// Begins the walk after the stamp line, the comment block and the first
// section's blank line: `head_ends` line ends in all.
void block_check_begin(BlockCheck* check, BlockMap* map, const KeyTable* table,
                       uint32_t head_ends);

// Follows one section as written: `name` as in its header and `numbers`
// of its entries (keytable_order_numbers).
void block_check_section(BlockCheck* check, const char* name, KeyNumbers numbers);

// Ends the walk: blocks still open at the end of the output.
void block_check_end(BlockCheck* check);

// Bytes that hold the opening text of any block: a key's name part (under
// 79 bytes), " = " and a value of at most 256, and a terminator.
constexpr size_t kBlockTextBytes = 400;

// The opening text of the innermost block of `context` (not 0) into
// `bytes` (kBlockTextBytes), trailing white space cut; its length.
size_t block_text(const BlockMap* map, const KeyTable* table, uint32_t context, char* bytes);

// Entry `entry`'s context in the input, with the flags of block_note_store
// (kMergedEntry: the rest is a merge's number).
uint32_t block_input_context(const BlockMap* map, uint32_t entry);

// Releases what the walk holds (not its map).
void block_check_free(BlockCheck* check);

// Releases a list and empties it.
template <typename Item>
void block_list_free(BlockList<Item>* list) {
  util_free(list->items);
  *list = BlockList<Item>{};
}

// Out of line: what a store does once contexts are followed.
void block_note_slowly(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                       uint32_t line, Conditional kind, uint8_t text_offset);

template <typename Item>
void block_list_push(BlockList<Item>* list, Item item) {
  if (list->count == list->capacity) {
    util_grow(&list->items, &list->capacity, int64_t{list->count} + 1);
  }
  list->items[list->count++] = item;
}

inline void block_note_store(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                             uint32_t line, Conditional kind, uint8_t text_offset) {
  // Hot: every store (see the benchmark, docs/DEVELOPING.md).
  if (created) block_lines_push(&map->lines, line, text_offset != 0);
  // Before the first conditional directive every line stands outside every
  // block: nothing to note.
  if (!map->following && kind == Conditional::kNone) return;
  block_note_slowly(map, table, number, created, line, kind, text_offset);
}

