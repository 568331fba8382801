// The whole-table writer, as the design describes it: the reference that
// the tool's writer (write_sections) must match byte for byte.
//
// It gathers the sections with one enumeration of the run's key table,
// puts them in order with sort_sections, and writes each with one more
// enumeration that writes and removes that section's entries, so the size
// check after each may halve the table before the next. Lines go through
// the tool's own write_section and write_entry: what is compared is the
// order. It empties the table of what it writes; the tool's writer works
// the same order out without changing the table.
#pragma once

#include "support/safe_output.h"

// Has the run's key table, still empty, keep bucket chains from the start,
// as the design's table does: every store then walks and extends a chain
// and every doubling splits them, so the reference owes nothing to the walk
// in creation order that the tool's writer (and the table's own making of
// chains later) rely on. Call right after run_begin, before parsing.
void reference_use_chains();

// Writes every section of the run's key table to `output`, as
// write_sections does, by whole-table enumerations.
void reference_write_sections(SafeOutput* output);
