// The order in which sections are written.
//
// The ranked sections first (section_names.h: the directives' own section,
// General, Modules, Misc, then Warbird to Shark), then every other section
// by name without regard to case. The order comes from one comparator that
// adds fixed weights to a case-insensitive name comparison, magnitude
// included. For a few names (those that overcome a
// small weight, such as "Lan" against "Lancaster") the comparator is not a
// consistent order, so the sort must end and stay in bounds whatever it says.
#pragma once

#include <cstdint>

#include "tool/section_index.h"

// Negative: `a` is written first; positive: `b` is.
int section_order(const char* a, const char* b);

// The weight of a section name (0 for an unweighted name); case is ignored.
int section_weight(const char* name);

// Puts the sections order[0..count), numbers of `sections`, in the order in
// which they are written: by section_order of their names.
void sort_sections(int32_t* order, int32_t count, const SectionIndex* sections);

// The sort itself, on `count` items, exposed so that it can be tried with
// any comparator: `compare(context, a, b)` negative puts a first. Up to 8
// items: a selection sort that swaps the first greatest item of the
// unsorted range to its end (the order the runtime's sort gives names that
// compare as 0); above that a merge sort. Both end and stay inside the
// array whatever `compare` returns.
using ItemCompare = int (*)(const void* context, int32_t a, int32_t b);
void sort_items(int32_t* items, int32_t count, ItemCompare compare, const void* context);
