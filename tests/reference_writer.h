// The whole-table writer, as the format describes it: the reference that
// the tool's writer (write_sections) must match byte for byte.
//
// It copies the run's key table into a chained table of the format's own
// rules (chained_table.h): every entry, in the order the parser made it,
// added with the value it ended with. That is the chained table the
// parser's stores give, since a store that finds its key only changes the
// value and runs no size check. It then gathers the sections with one
// enumeration, puts them in order with the tool's sort, and writes each
// with one more enumeration that writes and removes that section's
// entries, so the size check after each may halve the table before the
// next. Lines go through the tool's own write_section and write_entry:
// what is compared is the order.
#pragma once

#include <cstdint>

#include "tool/writer.h"

// The chained table's bucket mask before and after the writing.
struct ReferenceMasks {
  int32_t before;
  int32_t after;
};

// Writes every section of the run's key table to `output`, as
// write_sections does, by whole-table enumerations. The run's table is
// only read.
ReferenceMasks reference_write_sections(OutputSink* output);
