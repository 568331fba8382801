// Growable storage for plain items, each with one owner that releases it.
//
// A List is one array that doubles as it fills (util_grow), so its items
// move as it grows. A Column keeps its items in chunks of 2^kColumnChunkBits
// that never move, and an item's number finds it in two steps: for a store
// that grows by an item per input line and is read by number. A column is
// filled either densely (column_add, column_extend; read with column_at and
// column_each) or sparsely (column_set; read with column_get), never both.
// All zero is empty; new items are zero. Running out of memory ends the
// process (util_fatal).
#pragma once

#include <cstdint>

#include "support/alloc.h"

template <typename Item>
struct List {
  Item* items;  // `count` in use of `capacity` (heap)
  int32_t capacity;
  int32_t count;
};

template <typename Item>
void list_push(List<Item>* list, Item item) {
  if (list->count == list->capacity) util_grow(&list->items, &list->capacity, int64_t{list->count} + 1);
  list->items[list->count++] = item;
}

template <typename Item>
void list_free(List<Item>* list) {
  util_free(list->items);
  *list = List<Item>{};
}

constexpr int kColumnChunkBits = 14;

template <typename Item>
struct Column {
  Item** chunks;           // chunk c holds items c << kColumnChunkBits on (heap, each)
  int32_t chunk_capacity;  // chunk pointers allocated
  int32_t count;           // items held
};

template <typename Item>
Item* column_at(const Column<Item>* column, uint32_t number) {
  constexpr uint32_t kChunkMask = (1u << kColumnChunkBits) - 1;
  return &column->chunks[number >> kColumnChunkBits][number & kChunkMask];
}

// Makes the column hold `count` items, the new ones zero.
template <typename Item>
void column_extend(Column<Item>* column, int32_t count) {
  constexpr int32_t kChunkItems = 1 << kColumnChunkBits;
  int32_t chunks = (count + kChunkItems - 1) >> kColumnChunkBits;
  int32_t made = (column->count + kChunkItems - 1) >> kColumnChunkBits;
  if (chunks > made) util_grow(&column->chunks, &column->chunk_capacity, chunks);
  for (; made < chunks; ++made) column->chunks[made] = util_alloc_array<Item>(kChunkItems);
  if (count > column->count) column->count = count;
}

// The next item, zero; its number is the count before.
template <typename Item>
Item* column_add(Column<Item>* column) {
  constexpr int32_t kChunkMask = (1 << kColumnChunkBits) - 1;
  if ((column->count & kChunkMask) == 0) {
    column_extend(column, column->count + 1);
  } else {
    ++column->count;
  }
  return column_at(column, static_cast<uint32_t>(column->count - 1));
}

// Calls `visit(item, number)` for every item in order.
template <typename Item, typename Visit>
void column_each(const Column<Item>* column, Visit visit) {
  constexpr int32_t kChunkItems = 1 << kColumnChunkBits;
  for (int32_t start = 0; start < column->count; start += kChunkItems) {
    Item* chunk = column->chunks[start >> kColumnChunkBits];
    int32_t end = column->count - start < kChunkItems ? column->count - start : kChunkItems;
    for (int32_t i = 0; i < end; ++i) visit(&chunk[i], start + i);
  }
}

// A sparse column: a chunk is made only once an item of it is set, and
// items of chunks not made read as zero.
template <typename Item>
Item column_get(const Column<Item>* column, uint32_t number) {
  uint32_t chunk = number >> kColumnChunkBits;
  if (chunk >= static_cast<uint32_t>(column->chunk_capacity) || column->chunks[chunk] == nullptr) {
    return Item{};
  }
  return *column_at(column, number);
}
template <typename Item>
void column_set(Column<Item>* column, uint32_t number, Item item) {
  int64_t chunk = number >> kColumnChunkBits;
  util_grow(&column->chunks, &column->chunk_capacity, chunk + 1);
  if (column->chunks[chunk] == nullptr) {
    column->chunks[chunk] = util_alloc_array<Item>(int64_t{1} << kColumnChunkBits);
  }
  *column_at(column, number) = item;
  if (int64_t{number} >= column->count) column->count = static_cast<int32_t>(number) + 1;
}

// Releases every chunk and empties the column. Never allocates.
template <typename Item>
void column_free(Column<Item>* column) {
  for (int32_t c = 0; c < column->chunk_capacity; ++c) util_free(column->chunks[c]);
  util_free(column->chunks);
  *column = Column<Item>{};
}
