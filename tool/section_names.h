// The section names the format fixes, spelt once for the parser, the
// section order and the writer.
//
// The ranked sections come first in the output, in the order listed here;
// every other section weighs 0 and follows them by name (section_sort.h).
// A name is ranked by equality without regard to case, so "general" weighs
// what General does.
#pragma once

struct RankedSection {
  const char* name;  // as the format spells it
  int weight;        // added to the name comparison by section_order
};

inline constexpr RankedSection kRankedSections[] = {
    {"__topmost__", 600}, {"General", 500}, {"Modules", 400},  {"Misc", 300},
    {"Warbird", 200},     {"Javelin", 180}, {"Spider", 160},   {"Leviathan", 140},
    {"Terrier", 120},     {"Weasel", 100},  {"Lancaster", 80}, {"Shark", 60},
};

// The section directives go to while no section is current (before the
// first header, or after one with an empty name): ranked first, and
// written without a header.
inline constexpr const char* kTopmostSection = kRankedSections[0].name;
