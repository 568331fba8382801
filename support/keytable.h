// The case-insensitive key table: text keys to untyped values.
//
// A chained hash table whose bucket count is a power of two, at least 16.
// It owns its entries (each with an inline copy of its key) and its bucket
// array, but never releases, copies or inspects a value: values belong to
// the table's users. Running out of memory ends the process (util_fatal).
// Entries are carved from an arena the table holds until keytable_free: the
// table is filled once and emptied once, and a block per entry would cost an
// allocation to fill it and a release (merging with its neighbours, a cache
// miss each) to empty it. A removed entry's memory is therefore not reused;
// a table that is refilled again and again grows.
//
// Enumeration order is part of the tool's output format, so it is fixed:
//  - key_hash below picks the bucket (hash & mask);
//  - keytable_add puts a new entry at the END of its chain;
//  - keytable_enum walks buckets 0..mask, each chain from its head;
//  - a resize walks the old buckets in that same order and places every
//    entry in its new chain in the order it was met, so after growing, old
//    bucket i splits into new buckets i and i + old count, and after
//    shrinking, new bucket j holds old bucket j's entries, then those of old
//    bucket j + new count, each keeping their relative order.
//
// Resize policy: with load = count * 100 / buckets (integer division), the
// table doubles when load exceeds 75 and halves when load is below 18 (75/4)
// and more than 16 buckets are in use. One step at most per check, and the
// check runs only after keytable_add and at the end of keytable_enum, so a
// table emptied by one enumeration shrinks one halving per enumeration.
//
// A table that is only filled (adds and replaces, no removal) therefore
// always lists each chain's entries in the order they were added, whatever
// resizes came between.
//
// Lookups stay fast whatever the keys. key_hash is fixed by the output
// order and easy to collide on purpose (it folds '@' onto '`', and low bits
// can be chosen), so a crafted file could put every key in one chain. Until
// an enumeration first needs the chains, the table therefore keeps no chains
// at all: its entries are found through an index of its own, lists headed
// by text_hash of the folded key (keyed at random per run), and the bucket
// count only follows the size rule as a number. Only the first entry of
// each key (without regard to case) is in the index, and as nothing has
// been removed yet, the first created is the first in chain order: the one
// a lookup must find. The first enumeration makes the chains from the
// entries in creation order (which is their chain order, see above), drops
// the index, and from then on lookups walk the key's chain as the chains
// define it. The tool looks keys up only while it parses, so it never walks
// a chain; then it lets the index go (keytable_drop_index) and its writer
// works from keytable_order instead of enumerating.
//
// The shipped program uses keytable_store_batch, keytable_reserve,
// keytable_drop_index, keytable_groups_met and keytable_order*. The rest of
// the interface (add, replace, get, enum, and the chains they make) is the
// design's table, kept whole: the tests' reference writer enumerates with
// it, and the differential test holds the program's order to it.
#pragma once

#include <cstdint>

#include "support/arena.h"

struct alignas(uint64_t) KeyEntry {  // keys start on a word boundary (entry_after)
  KeyEntry* next;  // following entry of its list: the index list until the
                   // chains are made, the chain after that; null at the end
  void* value;     // the stored value, owned by the table's user; may be null
  uint32_t hash;   // key_hash(key()): a resize and a lookup need not read the key
  int32_t group;   // the user's number for the entry, -1 (as made) for none;
                   // the table only orders by it (keytable_order): the
                   // parser keeps the entry's section here for the writer
  // The key text, terminated, is stored inline right after the entry.
  char* key() { return reinterpret_cast<char*>(this + 1); }
  const char* key() const { return reinterpret_cast<const char*>(this + 1); }
};

struct KeyTable {
  int32_t mask;         // bucket count minus one: 2^k - 1, never below 15
  int32_t count;        // entries in the table
  int32_t max_load;     // load limit in percent; always 75
  KeyEntry** buckets;   // mask + 1 chain heads, null for an empty chain; the
                        // whole array null until the chains are made; a
                        // halving keeps the larger array, null beyond mask
  KeyEntry** index;     // heads of the lookup index's lists, index_mask + 1
                        // of them, until the chains are made; then null
  uint32_t index_mask;  // index heads minus one
  int32_t indexed;      // entries in the index
  int32_t removed;      // entries removed so far: keytable_order needs none
  Arena entries;        // where the entries are carved from, in creation order
};

// Visitor for keytable_enum. `key` lives only for the call; return nonzero
// to have the entry unlinked (its value is not touched).
using KeyVisitor = int (*)(const char* key, void* value, void* closure);

// The hash: h = 0xF0E1D2; for each byte b, s = (b | 0x20) as a signed byte
// widened to 32 bits, h ^= (h << 7) + (h >> 2) + s, all modulo 2^32.
uint32_t key_hash(const char* text);

// A table of 16 empty buckets. Released with keytable_free.
KeyTable* keytable_new();

// Releases every entry, the bucket array, the index and the table; values
// are not touched. No size check runs: releasing a table never allocates,
// so it cannot fail after the output has been replaced.
void keytable_free(KeyTable* table);

// Appends a new entry (a copy of `key`, and `value`) at the end of its chain
// without looking for an equal key, then runs the size check.
void keytable_add(KeyTable* table, const char* key, void* value);

// Gives the first entry whose key equals `key` without regard to case the
// new value (the old one is not released; the entry keeps its key text and
// place; no size check). With no equal key, does keytable_add.
void keytable_replace(KeyTable* table, const char* key, void* value);

// keytable_add (`replace` false) or keytable_replace (true) for a caller
// that wants the entry holding `value` now: it stays where it is, whatever
// resizes come, until the table is released. `*created` tells whether a new
// entry was made.
KeyEntry* keytable_store(KeyTable* table, const char* key, void* value, bool replace,
                         bool* created);

// One store of a batch for keytable_store_batch.
struct KeyStore {
  const char* key;  // in: the key, read during the call only
  void* value;      // in: the value to store
  bool replace;     // in: as keytable_replace rather than keytable_add
  bool created;     // out: a new entry was made
  KeyEntry* entry;  // out: the entry that holds `value` now
  size_t length;    // the table's: strlen(key)
  uint32_t hash;    // the table's: key_hash(key)
  uint32_t list;    // the table's: the hash that picks its list (key_hash once the
                    // chains are made, else the index hash)
};

// keytable_store for `count` stores, in order, with the same result as one
// call each. Every store waits for memory twice (its list head, then the
// entry there); asking for all of a batch's heads, then all their entries,
// before storing overlaps those waits, which is most of a parse's time.
void keytable_store_batch(KeyTable* table, KeyStore* stores, int32_t count);

// The value of the first equal key in chain order, or null if none. (Not
// const: after keytable_drop_index it makes the index again.)
void* keytable_get(KeyTable* table, const char* key);

// Visits every entry in the order above; a nonzero visitor result removes
// the entry. The visitor must not add entries, look keys up or start
// another enumeration. Runs the size check once at the end, so a resize
// never happens mid-walk.
void keytable_enum(KeyTable* table, KeyVisitor visitor, void* closure);

// Doubles or halves the bucket array by the rule above, or does nothing.
void keytable_check_size(KeyTable* table);

// For a table about to be filled with about `count` entries: gives the
// index room for them at once, so it need not double again and again as
// the table fills. Changes nothing a user of the table can see.
void keytable_reserve(KeyTable* table, int32_t count);

// For a table that will now be read only in order (keytable_order): lets
// go of the index, the table's largest array, which only lookups need. A
// later store or lookup makes it again from the entries. Changes nothing a
// user of the table can see.
void keytable_drop_index(KeyTable* table);

// ---- Writing without enumerating ----
//
// The design's writer gathers the groups of entries (the sections) with one
// enumeration, then writes them one after another, each with an enumeration
// that removes that group's entries; the size check at the end of each may
// halve the table, which changes where the later groups' entries are met.
// For a table nothing has been removed from, the order those enumerations
// meet the entries in follows from the hashes, the creation order and the
// size rule alone: every chain lists its entries in creation order, and a
// halving appends the chain of bucket j + half to that of bucket j. The
// calls below give that order in time linear in the entries (and a sort of
// each group by chain position), without walking the buckets and without
// changing the table. The output format depends on it; the tests compare it
// with real enumerations (tests/writer_diff_test.cpp and the fuzzer).

// For a table nothing has been removed from (else the process aborts): the
// groups 0..group_count-1 that have entries, in the order in which one
// enumeration of the table as it is now first meets an entry of each:
// written to `order` (room for group_count); returns how many there are.
// Entries whose group is negative or not below group_count are not met.
int32_t keytable_groups_met(const KeyTable* table, int32_t group_count, int32_t* order);

// The removing enumerations of keytable_order, followed one group at a time.
struct KeyOrder {
  KeyEntry** entries;   // the entries of every group of the order, group
                        // after group, each group in creation order until
                        // keytable_order_next puts it in order (heap)
  int32_t* starts;      // group i of the order is entries[starts[i]] up to
                        // entries[starts[i + 1]] (exclusive) (heap)
  int32_t next;         // the group keytable_order_next gives next
  uint32_t first_mask;  // the table's mask when the removing enumerations began
  uint32_t mask;        // the mask the next of them meets
  int64_t left;         // entries left in the table before the next of them
  void* room;           // room for putting one group in order (heap)
};

// For a table nothing has been removed from (else the process aborts):
// prepares to give, group by group, the entries of the groups
// order[0..count) as enumerations that each remove one of them, in that
// order, would meet them, the first of those enumerations following one
// that gathered the groups and removed nothing. No group may be listed
// twice; groups are below group_count. The table is not changed, and must
// not be until keytable_order_end.
KeyOrder keytable_order(const KeyTable* table, const int32_t* order, int32_t count,
                        int32_t group_count);

// The entries of the next group of the order as its enumeration meets
// them: `*size` of them, valid until keytable_order_end. Call once per
// group, in the order's order. Putting a group in order touches its
// entries, so writing them right after finds them in the cache.
KeyEntry* const* keytable_order_next(KeyOrder* order, int32_t* size);

// Releases what keytable_order made.
void keytable_order_end(KeyOrder* order);
