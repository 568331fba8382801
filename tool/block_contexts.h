// Conditional blocks (#if, #ifdef or #ifndef ... #elif or #else ... #endif)
// around the input's lines: the directive kinds, the contexts and the walk
// over the input.
//
// A context is the list of blocks open at a line, each known by its opening
// text and branch. Contexts are interned, so two compare as two numbers:
// node 0 is "outside every block", every other node is its innermost block
// within its parent context. The parser notes each store
// (block_note_store): its input line and, once the input has held a
// conditional directive, its context; the output walk (block_check.h)
// interns the output's contexts in the same map. Cost: an input line per
// entry, a context per entry once a conditional directive was met, a node
// per distinct context; none of the input's text. Running out of memory
// ends the process (util_fatal).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/column.h"
#include "support/intern_index.h"
#include "support/keytable.h"

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

// A block's opening text: entry `entry`'s key from byte `offset` on, and
// " = " and its value after it when `with_value`, trailing white space cut.
struct BlockText {
  uint32_t entry;
  uint8_t offset;
  bool with_value;
};

// The innermost block of a context.
struct BlockNode {
  uint32_t parent;  // the context around the innermost block
  uint32_t branch;  // the innermost block's branch: 0 before its first elif/else
  uint32_t text;    // the innermost block's opening text (BlockMap::texts)
};

// A key stored from lines of different contexts.
// (A store is placed among the others by the entries made before it.)
struct BlockMerge {
  uint32_t first_context;  // the context of its first line
  uint32_t other_line;     // the first line of another context, that context
  uint32_t other_context;  // and where its store stands
  uint32_t other_at;
  uint32_t last_line;     // the line whose value the output keeps, its
  uint32_t last_context;  // context and where its store stands
  uint32_t last_at;
};

// An entry's context in BlockMap::contexts, with these flags above it.
constexpr uint32_t kConditionalEntry = 1u << 31;  // made by a conditional directive...
constexpr uint32_t kMatchedEntry = 1u << 30;      // ...that the input matched
constexpr uint32_t kMergedEntry = 1u << 29;       // the rest is a merge's number
constexpr uint32_t kAfterElseEntry = 1u << 28;    // an #else or #elif after an
                                                  // #else of its block
constexpr uint32_t kContextBits = kAfterElseEntry - 1;
constexpr uint32_t kOpenerHadElse = 1u << 31;  // in BlockMap::openers

// The input line of every entry and whether a directive line made it, in
// about a byte per entry (a plain number would cost 4, which shows in the
// peak memory of a large file): entries are made in input order, so each
// line is kept as its step from the line of the entry before, with the
// exact line of every kLineStride-th entry and, for a step too long for its
// byte, of that entry too.
constexpr int32_t kLineStride = 64;
constexpr uint8_t kLineStepBits = 0x7F;  // the step; all set: look it up
constexpr uint8_t kLineOfDirective = 0x80;
struct BlockJump {
  uint32_t entry;
  uint32_t line;
};
struct BlockLines {
  Column<uint8_t> steps;   // entry -> step | kLineOfDirective
  Column<uint32_t> marks;  // entry / kLineStride -> that entry's line
  List<BlockJump> jumps;   // entries whose step is too long, in order
  uint32_t last;           // the line of the entry made last
};
void block_lines_push(BlockLines* lines, uint32_t line, bool directive);
void block_lines_free(BlockLines* lines);

// What the parse leaves for the check, entry by entry.
struct BlockMap {
  BlockLines lines;           // entry -> the input line of its first store
  Column<uint32_t> contexts;  // entry -> its context, or a merge's number, and
                              // the flags above; kept once `following`, its
                              // chunks made only where an entry's is not 0
  bool following;         // a conditional directive was met (before it,
                          // every line stands outside every block)
  bool conditional_keys;  // a key is written as a conditional directive
                          // would be (its name begins "#if", say)
  bool worth_checking;    // set at the parse's end: the output is to be
                          // checked (a directive line or such a key was met)
  List<BlockNode> nodes;
  List<BlockText> texts;
  List<BlockMerge> merges;
  List<uint32_t> openers;  // the entries of the input's open blocks, with
                           // kOpenerHadElse once an #else of it came
  List<uint8_t> in_blocks;  // section number -> 1 once an entry of it stood
                            // in a block, was stored from several contexts
                            // or is a conditional directive
  InternIndex node_index;
  InternIndex text_index;
  uint32_t last_text;  // the text interned last
  uint32_t context;    // the input's context at the next store
  bool too_many;       // more contexts than the flags leave room for: not checked
};

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

uint32_t block_line_of(const BlockMap* map, uint32_t entry);
inline bool block_line_is_directive(const BlockMap* map, uint32_t entry) {
  return (*column_at(&map->lines.steps, entry) & kLineOfDirective) != 0;
}

// Whether an entry of section `section` stood in a block, was stored from
// several contexts or is a conditional directive: a section without one
// stands outside every block in the input, line for line.
inline bool block_section_in_blocks(const BlockMap* map, int32_t section) {
  return section < map->in_blocks.count && map->in_blocks.items[section] != 0;
}

// Entry `entry`'s context in the input, with the flags above.
inline uint32_t block_input_context(const BlockMap* map, uint32_t entry) {
  return map->following ? column_get(&map->contexts, entry) : 0;
}

// Bytes that hold the opening text of any block: a key's name part (under
// 79 bytes), " = " and a value of at most 256, and a terminator.
constexpr size_t kBlockTextBytes = 400;

// The opening text of the innermost block of `context` (not 0) into
// `bytes` (kBlockTextBytes), trailing white space cut; its length.
size_t block_text(const BlockMap* map, const KeyTable* table, uint32_t context, char* bytes);

// Node 0, "outside every block", made unless it is: every other context has
// it at its root.
void block_add_root_context(BlockMap* map);

// The context of a block with opening text `text` opened in `parent`; the
// context a branch directive leaves in context `here`. (0 once too_many.)
uint32_t block_open_context(BlockMap* map, const KeyTable* table, uint32_t parent, BlockText text);
uint32_t block_next_branch(BlockMap* map, uint32_t here);

// Out of line: what a store does once contexts are followed.
void block_note_slowly(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                       uint32_t line, Conditional kind, uint8_t text_offset);

inline void block_note_store(BlockMap* map, const KeyTable* table, int32_t number, bool created,
                             uint32_t line, Conditional kind, uint8_t text_offset) {
  // Hot: every store (see the benchmark, docs/DEVELOPING.md).
#ifdef KEYFOLDER_NO_BLOCK_CHECK
  return;
#endif
  if (created) block_lines_push(&map->lines, line, text_offset != 0);
  // Before the first conditional directive every line stands outside every
  // block: nothing to note.
  if (!map->following && kind == Conditional::kNone) return;
  block_note_slowly(map, table, number, created, line, kind, text_offset);
}
