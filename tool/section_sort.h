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

// Puts the sections order[0..count), numbers of `sections`, in the order in
// which they are written: by section_order of their names.
void sort_sections(int32_t* order, int32_t count, const SectionIndex* sections);
