#include "tool/section_sort.h"

#include <cstring>

#include "support/alloc.h"
#include "support/text.h"

namespace {

struct SectionWeight {
  const char* name;
  int weight;
};

constexpr SectionWeight kWeights[] = {
    {"__topmost__", 600}, {"General", 500}, {"Modules", 400}, {"Misc", 300},
    {"Warbird", 200},     {"Javelin", 180}, {"Spider", 160},  {"Leviathan", 140},
    {"Terrier", 120},     {"Weasel", 100},  {"Lancaster", 80}, {"Shark", 60},
};

// Lists this short are sorted the way the runtime's small-array sort does,
// which fixes the order of names that compare as 0 (misc, Misc -> Misc, misc).
constexpr int kSelectionSortLimit = 8;

using Compare = int (*)(const char*, const char*);

void selection_sort(char** texts, int count, Compare compare) {
  for (int end = count - 1; end > 0; --end) {
    int greatest = 0;
    for (int i = 1; i <= end; ++i) {
      if (compare(texts[i], texts[greatest]) > 0) greatest = i;
    }
    char* swap = texts[greatest];
    texts[greatest] = texts[end];
    texts[end] = swap;
  }
}

// Sorts texts[0..count) using scratch[0..count). Each merge step takes one
// element per comparison until one run is used up, so it ends and stays in
// bounds even when `compare` contradicts itself.
void merge_sort(char** texts, char** scratch, int count, Compare compare) {
  if (count < 2) return;
  int half = count / 2;
  merge_sort(texts, scratch, half, compare);
  merge_sort(texts + half, scratch, count - half, compare);
  int left = 0;
  int right = half;
  int out = 0;
  while (left < half && right < count) {
    scratch[out++] = compare(texts[right], texts[left]) < 0 ? texts[right++] : texts[left++];
  }
  while (left < half) scratch[out++] = texts[left++];
  while (right < count) scratch[out++] = texts[right++];
  std::memcpy(texts, scratch, sizeof(char*) * static_cast<size_t>(count));
}

}  // namespace

int section_weight(const char* name) {
  // The comparator weighs both names at every call: a first letter that
  // differs rules a weighted name out without comparing the rest. (The
  // names fold as text_icompare folds them: A-Z only.)
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  char first = fold(name[0]);
  for (const SectionWeight& entry : kWeights) {
    if (fold(entry.name[0]) == first && text_icompare(entry.name, name) == 0) return entry.weight;
  }
  return 0;
}

int section_order(const char* a, const char* b) {
  return text_icompare(a, b) - section_weight(a) + section_weight(b);
}

void sort_texts(char** texts, int count, Compare compare) {
  if (count <= kSelectionSortLimit) {
    selection_sort(texts, count, compare);
    return;
  }
  auto** scratch =
      static_cast<char**>(util_alloc(static_cast<int32_t>(sizeof(char*)) * count));
  merge_sort(texts, scratch, count, compare);
  util_free(scratch);
}

void sort_sections(PtrList* list) {
  int32_t count = ptrlist_count(list);
  auto** texts = static_cast<char**>(util_alloc(static_cast<int32_t>(sizeof(char*)) * count));
  int32_t i = 0;
  for (PtrNode* node = list->head; node != nullptr; node = node->next) {
    texts[i++] = static_cast<char*>(node->item);
  }
  sort_texts(texts, count, section_order);
  ptrlist_clear(list);
  for (i = 0; i < count; ++i) ptrlist_append(list, texts[i]);
  util_free(texts);
}
