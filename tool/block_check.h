// The walk over the output as it is written: the conditional blocks around
// every output line (block_contexts.h), compared with those around the same
// line in the input, and the lines the reorder moved into, out of or
// between blocks, or whose section's plain directives changed order.
//
// The writer follows every section it writes (block_check_section); the
// first kReportedLines lines with findings are kept, in line order, for the
// report (block_report.h) once the output is in place, and the rest are
// counted. Running out of memory ends the process (util_fatal).
#pragma once

#include <cstdint>

#include "support/column.h"
#include "support/keytable.h"
#include "support/keytable_order.h"
#include "tool/block_contexts.h"

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
  bool had_else;    // an #else of it has been written
  uint32_t around;  // the context its opening line was written in
};

struct BlockCheck {
  BlockMap* map;
  const KeyTable* table;
  uint32_t next_line;  // the output line written next
  bool first_section;
  List<BlockOpen> open;  // the output's open blocks, outermost first
  uint32_t context;      // the output's context: the innermost's, whose
                         // parents are those of the blocks around it
  BlockFinding kept[kReportedLines];  // in line order
  int32_t kept_count;
  int64_t lines;  // output lines with findings, kept or not
};

// Begins the walk after the stamp line, the comment block and the first
// section's blank line: `head_ends` line ends in all.
void block_check_begin(BlockCheck* check, BlockMap* map, const KeyTable* table,
                       uint32_t head_ends);

// Follows one section as written: its number, `name` as in its header and
// `numbers` of its entries (keytable_order_numbers).
void block_check_section(BlockCheck* check, int32_t section, const char* name,
                         KeyNumbers numbers);

// Ends the walk: blocks still open at the end of the output.
void block_check_end(BlockCheck* check);

// Releases what the walk holds (not its map).
void block_check_free(BlockCheck* check);
