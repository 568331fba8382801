// The order in which sections are written.
//
// "__topmost__" first, then General, Modules, Misc, then Warbird to Shark,
// then every other section by name without regard to case. The order comes
// from one comparator that adds fixed weights to a case-insensitive name
// comparison, magnitude included. For a few names (those that overcome a
// small weight, such as "Lan" against "Lancaster") the comparator is not a
// consistent order, so the sort must end and stay in bounds whatever it says.
#pragma once

#include "support/ptrlist.h"

// Negative: `a` is written first; positive: `b` is.
int section_order(const char* a, const char* b);

// The weight of a section name (0 for an unweighted name); case is ignored.
int section_weight(const char* name);

// Reorders a list of section-name texts by section_order. The items stay the
// caller's; only the nodes are rebuilt.
void sort_sections(PtrList* list);

// The sort itself, on an array of `count` texts, exposed so that it can be
// tried with any comparator. Up to 8 texts: a selection sort that swaps the
// first greatest element of the unsorted range to its end; above that a merge
// sort. Both end and stay inside the array whatever `compare` returns.
void sort_texts(char** texts, int count, int (*compare)(const char*, const char*));
