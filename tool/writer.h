// The output writer: the converted file from the filled key table.
//
// Writes the input's leading comment block (earlier stamp lines dropped),
// orders the sections present in the table, and writes a stamp line, the
// block and every section with its entries in the order the format's
// whole-table writer gives them (one enumeration per section, removing
// what it writes), which keytable_order works out without enumerating.
// The table is only read, and the values stay where they are (the run's
// value_texts). The output replaces the old file only when all of it was
// written (see safe_output.h); a file that cannot be accessed is reported
// with report_access_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "output/safe_output.h"
#include "support/keytable_order.h"
#include "support/text.h"
#include "tool/block_check.h"

// Opening of the stamp line; a leading comment that begins with it is an
// earlier stamp and is not carried over.
constexpr char kStampPrefix[] = "; keyfolder'd on ";
constexpr size_t kStampPrefixChars = sizeof kStampPrefix - 1;

// Where the converted text goes: the safe output of the program's output
// path, or memory (the call, tool/convert.h).
struct OutputSink {
  SafeOutput* file;    // null: `memory`
  TextBuffer* memory;
};
inline void sink_write(OutputSink* sink, const char* bytes, size_t length) {
  if (sink->file != nullptr) {
    safe_output_write(sink->file, bytes, length);
  } else {
    text_buffer_append(sink->memory, bytes, length);
  }
}

// Converts the run's key table into the file at its output path, with the
// comment block and byte-order mark the parser kept, and reports the block
// check's findings on standard error once it is in place; for the call,
// into the run's `converted` text, the findings into its records. Runs
// only after the parser met a floating key.
void write_config();

// Writes the whole converted text to `output`, stamped with the local time
// `now`: byte-order mark, stamp line, comment block, sections. When the
// file is worth checking (BlockMap::worth_checking), `check` follows it
// and is ended; returns whether it was. `check` is the caller's to free.
bool write_text(OutputSink* output, time_t now, BlockCheck* check);

// Writes every section of the run's table to `output` in the section order
// (gathered as one enumeration first meets them, then sort_sections), each
// through write_section with its entries in keytable_order's order, and
// has `check` (when set) follow every section written.
void write_sections(OutputSink* output, BlockCheck* check = nullptr);
