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

#include "output/safe_output.h"
#include "support/keytable_order.h"
#include "tool/block_check.h"

// Opening of the stamp line; a leading comment that begins with it is an
// earlier stamp and is not carried over.
constexpr char kStampPrefix[] = "; keyfolder'd on ";
constexpr size_t kStampPrefixChars = sizeof kStampPrefix - 1;

// Converts the run's key table into the file at its output path, with the
// comment block and byte-order mark the parser kept. Runs only after the
// parser met a floating key.
void write_config();

// Writes every section of the run's table to `output` in the section order
// (gathered as one enumeration first meets them, then sort_sections), each
// through write_section with its entries in keytable_order's order, and
// has `check` (when set) follow every section written.
void write_sections(SafeOutput* output, BlockCheck* check = nullptr);
