// The findings of the block check (block_check.h) as records, in the
// report's words, and the report made of them.
//
// A record names one output line whose blocks changed: its kinds, its
// section, the key or directive written there, the input line it came from,
// the blocks around it now and in the input, and the whole message. The
// program prints each as "<output>:<line>: <message>" on standard error;
// the call (tool/convert.h) hands them over. Running out of memory ends the
// process (util_fatal).
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/arena.h"
#include "tool/block_check.h"

struct BlockFindingRecord {
  uint32_t line;        // the output line, from 1
  uint8_t kinds;        // kMovedFinding | kMergedFinding | kBrokenFinding | kReorderedFinding
  const char* section;  // its section; "" for the directives before every header
  const char* subject;  // the key's name, or the directive's text (trailing white space cut)
  bool directive;       // `subject` is a directive line
  uint32_t input_line;  // the input line it was first stored from
  const char* now;      // the blocks around it in the output: "outside every
                        // block" or "inside '<opening text>' (line N)..."
  const char* before;   // the blocks around it in the input, likewise (a key
                        // stored in several: those of its first line)
  const char* message;  // what follows "<output>:<line>: " in the report
};

struct BlockFindings {
  BlockFindingRecord* records;  // in line order (heap)
  int32_t count;                // at most kReportedLines
  int64_t not_shown;            // lines with findings beyond those
  bool too_many_blocks;         // more blocks than the check can follow:
                                // nothing was checked
  Arena texts;                  // the records' texts
};

// The records of a finished check (block_check_end). The check and its map
// must still be alive; the records are not tied to them afterwards.
BlockFindings block_findings_of(const BlockCheck* check);

// Prints the report on `out`: a line per record, then how many more lines
// changed, or the one line that says the blocks were too many to check.
void block_findings_print(const BlockFindings* findings, const char* output_path, FILE* out);

void block_findings_free(BlockFindings* findings);
