#include "tool/section_sort.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"
#include "tool/section_names.h"

// The sort itself, on items compared by `compare(context, a, b)` (negative
// puts a first), and the weight of a name: only this file and the tests
// (tests/internals.h) call them.
using ItemCompare = int (*)(const void* context, int32_t a, int32_t b);
void sort_items(int32_t* items, int32_t count, ItemCompare compare, const void* context);
int section_weight(const char* name);

namespace {

// Lists this short are sorted the way the runtime's small-array sort does,
// which fixes the order of names that compare as 0 (misc, Misc -> Misc, misc).
constexpr int32_t kSelectionSortLimit = 8;

void selection_sort(int32_t* items, int32_t count, ItemCompare compare, const void* context) {
  for (int32_t end = count - 1; end > 0; --end) {
    int32_t greatest = 0;
    for (int32_t i = 1; i <= end; ++i) {
      if (compare(context, items[i], items[greatest]) > 0) greatest = i;
    }
    int32_t swap = items[greatest];
    items[greatest] = items[end];
    items[end] = swap;
  }
}

// Sorts items[0..count) using scratch[0..count). Each merge step takes one
// item per comparison until one run is used up, so it ends and stays in
// bounds even when `compare` contradicts itself.
void merge_sort(int32_t* items, int32_t* scratch, int32_t count, ItemCompare compare,
                const void* context) {
  if (count < 2) return;
  int32_t half = count / 2;
  merge_sort(items, scratch, half, compare, context);
  merge_sort(items + half, scratch, count - half, compare, context);
  int32_t left = 0;
  int32_t right = half;
  int32_t out = 0;
  while (left < half && right < count) {
    scratch[out++] =
        compare(context, items[right], items[left]) < 0 ? items[right++] : items[left++];
  }
  while (left < half) scratch[out++] = items[left++];
  while (right < count) scratch[out++] = items[right++];
  std::memcpy(items, scratch, sizeof(int32_t) * static_cast<size_t>(count));
}

int compare_sections(const void* context, int32_t a, int32_t b) {
  const auto* sections = static_cast<const SectionIndex*>(context);
  return section_order(section_index_name(sections, a), section_index_name(sections, b));
}

}  // namespace

int section_weight(const char* name) {
  // The comparator weighs both names at every call: a first letter that
  // differs rules a weighted name out without comparing the rest.
  unsigned char first = text_fold(static_cast<unsigned char>(name[0]));
  for (const RankedSection& entry : kRankedSections) {
    if (text_fold(static_cast<unsigned char>(entry.name[0])) == first &&
        text_icompare(entry.name, name) == 0) {
      return entry.weight;
    }
  }
  return 0;
}

int section_order(const char* a, const char* b) {
  return text_icompare(a, b) - section_weight(a) + section_weight(b);
}

void sort_items(int32_t* items, int32_t count, ItemCompare compare, const void* context) {
  if (count <= kSelectionSortLimit) {
    selection_sort(items, count, compare, context);
    return;
  }
  auto* scratch = util_alloc_array<int32_t>(count);
  merge_sort(items, scratch, count, compare, context);
  util_free(scratch);
}

void sort_sections(int32_t* order, int32_t count, const SectionIndex* sections) {
  sort_items(order, count, compare_sections, sections);
}
