// The key table as the format defines it, written plainly for the tests:
// a chained hash table of its own hash, its own chains and its own size
// rule, with add, replace, get and an enumeration that may remove the
// entry it meets. It is the model the program's order (keytable_order.h)
// is checked against, so it shares no code with the program's table.
//
// Buckets: a power of two, at least 16; a key's bucket is hash(key) & mask.
// add puts a new entry at the END of its chain without looking for an
// equal key and then runs the size check; replace gives the first equal
// key (without regard to A-Z case) in chain order the new value, or adds.
// enumerate walks buckets 0..mask, each chain from its head, and runs the
// size check at its end. The size check doubles when count * 100 / buckets
// exceeds 75 and halves when it is below 18 with more than 16 buckets; a
// resize moves every entry, old buckets in order, onto the front of its
// new chain and then reverses every new chain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ChainedTable {
 public:
  ChainedTable();
  ~ChainedTable();
  ChainedTable(const ChainedTable&) = delete;
  ChainedTable& operator=(const ChainedTable&) = delete;

  // The format's bucket hash of `text`.
  static uint32_t hash(const char* text);

  void add(const char* key, void* value);
  void replace(const char* key, void* value);
  // The value of the first equal key in chain order, or null.
  void* get(const char* key) const;
  // Calls `visit(key, value)` for every entry in order; an entry it returns
  // true for is removed (its value is not touched).
  void enumerate(const std::function<bool(const std::string& key, void* value)>& visit);

  int32_t mask() const { return mask_; }
  int32_t count() const { return count_; }
  int32_t max_load() const { return max_load_; }
  // Whether every bucket is empty.
  bool empty_buckets() const;

 private:
  struct Entry {
    Entry* next;
    void* value;
    std::string key;
  };

  static bool same_key(const std::string& a, const char* b);
  void check_size();
  void resize(int32_t new_mask);

  int32_t mask_ = 15;
  int32_t count_ = 0;
  const int32_t max_load_ = 75;
  std::vector<Entry*> buckets_;
};
