// The output writer: the converted file from the filled key table.
//
// Writes the input's leading comment block (earlier stamp lines dropped),
// orders the sections present in the table, and writes a stamp line, the
// block and every section with its entries in key-table order (values stay
// where they are: value_texts). The output replaces the
// old file only when all of it was written (see safe_output.h); any file that
// cannot be accessed is reported with report_access_error.
#pragma once

#include "support/keytable.h"
#include "support/safe_output.h"

// Opening of the stamp line; a leading comment that begins with it is an
// earlier stamp and is not carried over.
constexpr const char* kStampPrefix = "; keyfolder'd on ";

// Converts the process-wide key table into the file at output_path, with
// the comment block the parser kept (leading_comments). Runs only after the
// parser met a floating key. The sections and their entries come from entry_log, which
// must hold every entry the parse of this table created: each section's
// entries are written in the order the whole-table walk would meet them,
// worked out from their hashes and creation order, so a run costs time
// linear in the entries; the output is byte for byte that of
// write_config_literal. The table is only read: its entries stay in it
// until it is released. With no log (entry_log null) it is
// write_config_literal.
void write_config();

// The same conversion in its plain form: one enumeration of the whole table
// per section (write_section), costing sections x buckets. The tool does not
// use it; the tests keep it as the reference write_config must match.
void write_config_literal();

// Enumeration visitor: appends the section part of `key` (up to its first
// ':') to the PtrList `list` unless it is empty, begins with '#', or is
// there already. Always returns 0.
int collect_section(const char* key, void* value, void* list);

// Writes one section: a blank line, its header (none for "__topmost__"), and
// every entry of that section, which write_entry removes from the table.
void write_section(SafeOutput* output, const char* name);

// Enumeration visitor, `context` the SectionContext of write_section: writes
// an entry of that section as "name = value" (a directive as its text) and
// returns 1; other entries stay (0). The value is not released.
int write_entry(const char* key, void* value, void* context);
