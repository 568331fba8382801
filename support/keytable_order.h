// The order in which the format writes a key table's entries, worked out
// from the table without changing it.
//
// The format's writer gathers the groups of entries (the sections) with one
// enumeration of its chained hash table, then writes them one after
// another, each with an enumeration that removes that group's entries; the
// size check after each may halve that table, which changes where the later
// groups' entries are met. The calls below give the groups and their
// entries in exactly that order, in time linear in the entries (and a sort
// of each group), for a table that was only filled (keytable.h). The tests
// hold them to a chained table of the format's own rules
// (tests/chained_table.h), through the writer's differential test and the
// fuzzer.
#pragma once

#include <cstdint>

#include "support/keytable.h"

// The groups 0..group_count-1 that have entries, in the order in which one
// enumeration of the format's table first meets an entry of each: written
// to `order` (room for group_count); returns how many there are. Entries
// whose group is negative or not below group_count are never met.
int32_t keytable_groups_met(const KeyTable* table, int32_t group_count, int32_t* order);

// A place in a group's order: while the group is put in order it holds a
// sort key, then the entry that stands there.
union KeyPlace {
  uint64_t rank;    // where the group's enumeration meets the entry, then its number
  KeyEntry* entry;  // the entry, once the group is in order
};

// Groups smaller than this are sorted in place, larger ones with room.
constexpr int32_t kKeyOrderFew = 256;

// The removing enumerations of keytable_order, followed one group at a time.
struct KeyOrder {
  const KeyTable* table;  // the table, unchanged until keytable_order_end
  uint32_t* numbers;      // the entries of every group of the order, group
                          // after group, each group in creation order (heap)
  int32_t* starts;        // group i of the order is numbers[starts[i]] up to
                          // numbers[starts[i + 1]] (exclusive) (heap)
  int32_t next;           // the group keytable_order_next gives next
  uint32_t first_mask;    // the format's mask when the removing enumerations began
  uint32_t mask;          // the mask the next of them meets
  int64_t left;           // entries left in the format's table before the next of them
  KeyPlace* places;       // one group's places, as many as the largest group has (heap)
  KeyPlace* spare;        // as many again, made when a large group first needs
                          // sorting (heap)
  int32_t largest;        // entries of the largest group
  bool keep_numbers;      // keytable_order_keep_numbers was called
  const uint32_t* met;    // then: the numbers of the last group's entries in
                          // its order (the creation order's own, `few` or `many`)
  uint32_t* many;         // room for them when a large group was sorted (heap)
  uint32_t few[kKeyOrderFew];  // room for them when a small group was
};

// Prepares to give, group by group, the entries of the groups
// order[0..count) as enumerations that each remove one of them, in that
// order, would meet them, the first of those enumerations following one
// that gathered the groups and removed nothing. No group may be listed
// twice; groups are below group_count. The table must not change until
// keytable_order_end.
KeyOrder keytable_order(const KeyTable* table, const int32_t* order, int32_t count,
                        int32_t group_count);

// The entries of the next group of the order as its enumeration meets them
// (`*size` places, each holding its entry), valid until the next call or
// keytable_order_end. Call once per group, in the order's order. Putting
// a group in order touches its entries, so writing them right after finds
// them in the cache.
const KeyPlace* keytable_order_next(KeyOrder* order, int32_t* size);

// Has every later keytable_order_next also give the numbers of its
// group's entries (keytable_order_numbers), for a reader that keeps data
// of its own by entry number.
void keytable_order_keep_numbers(KeyOrder* order);

// The numbers of the entries the last keytable_order_next gave, in its
// order (`met`) and in creation order (`created`), `size` of each; valid
// as its places are. Only after keytable_order_keep_numbers.
struct KeyNumbers {
  const uint32_t* met;
  const uint32_t* created;
  int32_t size;
};
KeyNumbers keytable_order_numbers(const KeyOrder* order);

// Releases what keytable_order made.
void keytable_order_end(KeyOrder* order);
