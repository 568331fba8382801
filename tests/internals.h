// Functions of the program that only the tests call from outside their
// own file: defined in the program, declared here, so that the program's
// headers state only what the program itself uses.
#pragma once

#include <cstdint>

#include "support/keytable_order.h"
#include "tool/writer.h"

// tool/parser.cpp: skips white space at the start of `source`, takes at most
// `limit` characters from there, removes white space from the end of what
// it took and terminates the result in `destination` (limit + 1 bytes).
void trim_copy(char* destination, const char* source, int limit);

// tool/section_sort.cpp: the weight of a section name (0 for an unweighted
// name); case is ignored.
int section_weight(const char* name);

// tool/section_sort.cpp: the sort of the sections, on `count` items, with
// any comparator: `compare(context, a, b)` negative puts a first. Up to 8
// items: a selection sort that swaps the first greatest item of the
// unsorted range to its end (the order the runtime's sort gives names that
// compare as 0); above that a merge sort. Both end and stay inside the
// array whatever `compare` returns.
using ItemCompare = int (*)(const void* context, int32_t a, int32_t b);
void sort_items(int32_t* items, int32_t count, ItemCompare compare, const void* context);

// tool/writer.cpp: writes one section: its progress line on standard
// output, then a blank line and its header (none for the directives' own
// section), then the entries of the `count` places at `places`, whose keys
// all begin with `name` and a ':', through write_entry. With no places it
// writes the header alone, and the reference writer writes the lines itself.
void write_section(OutputSink* output, const char* name, const KeyPlace* places, int32_t count);

// tool/writer.cpp: writes one entry of a section: `name` (its key after the
// section and the ':') " = " `value`, or `name` alone when there is no value
// (a directive, whose name is its text), as one line.
void write_entry(OutputSink* output, const char* name, const char* value);
