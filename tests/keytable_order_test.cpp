// The key table's enumeration order through growth, shrinking and the
// bucket-restricted walk, against a model that follows the resize rule word
// for word: visit the old buckets in order, push every entry onto the front
// of its new chain, then reverse every chain. The table splits and joins
// chains in place instead, so the two must agree on every order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/keytable.h"

namespace {

using Chains = std::vector<std::vector<std::string>>;

struct Model {
  Chains chains = Chains(16);
  int count = 0;

  uint32_t mask() const { return static_cast<uint32_t>(chains.size() - 1); }

  void resize(size_t buckets) {
    Chains fresh(buckets);
    for (const auto& chain : chains) {
      for (const auto& key : chain) {
        auto& target = fresh[key_hash(key.c_str()) & (buckets - 1)];
        target.insert(target.begin(), key);
      }
    }
    for (auto& chain : fresh) std::reverse(chain.begin(), chain.end());
    chains = fresh;
  }

  void check_size() {
    int load = count * 100 / static_cast<int>(chains.size());
    if (load > 75) {
      resize(chains.size() * 2);
    } else if (load < 18 && chains.size() > 16) {
      resize(chains.size() / 2);
    }
  }

  void add(const std::string& key) {
    chains[key_hash(key.c_str()) & mask()].push_back(key);
    ++count;
    check_size();
  }

  // Removes every key `drop` picks, walking the whole model.
  template <typename Drop>
  void remove_if(Drop drop) {
    for (auto& chain : chains) {
      auto end = std::remove_if(chain.begin(), chain.end(), drop);
      count -= static_cast<int>(chain.end() - end);
      chain.erase(end, chain.end());
    }
    check_size();
  }

  std::vector<std::string> order() const {
    std::vector<std::string> keys;
    for (const auto& chain : chains) keys.insert(keys.end(), chain.begin(), chain.end());
    return keys;
  }
};

int record(const char* key, void* value, void* closure) {
  (void)value;
  static_cast<std::vector<std::string>*>(closure)->push_back(key);
  return 0;
}

std::vector<std::string> table_order(KeyTable* table) {
  std::vector<std::string> keys;
  // A recording pass runs the size check too; the model's next check would
  // find the same load, so both stay in step as long as nothing changed.
  keytable_enum(table, record, &keys);
  return keys;
}

// Removes the keys whose first character is `mark`.
int drop_marked(const char* key, void* value, void* closure) {
  (void)value;
  return key[0] == *static_cast<const char*>(closure) ? 1 : 0;
}

TEST(KeyTableOrderTest, GrowingAndShrinkingKeepTheRuleOrder) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    KeyTable* table = keytable_new();
    Model model;
    int keys = 10 + static_cast<int>(random() % 3000);
    for (int i = 0; i < keys; ++i) {
      // Letters a-h first, so that removals can pick a share of the keys.
      std::string key(1, static_cast<char>('a' + random() % 8));
      key += ":k" + std::to_string(random() % 100000);
      keytable_add(table, key.c_str(), nullptr);
      model.add(key);
    }
    ASSERT_EQ(static_cast<uint32_t>(table->mask), model.mask());
    ASSERT_EQ(table_order(table), model.order());
    // Empty the table one letter at a time: the loads fall through the
    // halving threshold, one halving per pass at most.
    for (char mark = 'a'; mark <= 'h'; ++mark) {
      keytable_enum(table, drop_marked, &mark);
      model.remove_if([mark](const std::string& key) { return key[0] == mark; });
      ASSERT_EQ(static_cast<uint32_t>(table->mask), model.mask()) << "round " << round;
      ASSERT_EQ(table_order(table), model.order()) << "round " << round;
      model.check_size();
    }
    keytable_free(table);
  }
}

// keytable_enum_buckets over the buckets that hold one letter's keys must
// remove them, meet them and resize exactly as a whole-table pass.
TEST(KeyTableOrderTest, BucketWalkMatchesWholeTableWalk) {
  std::mt19937 random(11);
  for (int round = 0; round < 20; ++round) {
    KeyTable* whole = keytable_new();
    KeyTable* part = keytable_new();
    std::vector<std::string> keys;
    int total = 10 + static_cast<int>(random() % 2000);
    for (int i = 0; i < total; ++i) {
      std::string key(1, static_cast<char>('a' + random() % 8));
      key += ":k" + std::to_string(random() % 100000);
      keys.push_back(key);
      keytable_add(whole, key.c_str(), nullptr);
      keytable_add(part, key.c_str(), nullptr);
    }
    for (char mark = 'a'; mark <= 'h'; ++mark) {
      std::vector<int32_t> buckets;
      for (const auto& key : keys) {
        if (key[0] == mark) {
          buckets.push_back(
              static_cast<int32_t>(key_hash(key.c_str()) & static_cast<uint32_t>(part->mask)));
        }
      }
      std::sort(buckets.begin(), buckets.end());
      buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
      keytable_enum(whole, drop_marked, &mark);
      keytable_enum_buckets(part, buckets.data(), static_cast<int32_t>(buckets.size()), drop_marked,
                            &mark);
      ASSERT_EQ(part->mask, whole->mask) << "round " << round;
      ASSERT_EQ(part->count, whole->count) << "round " << round;
      ASSERT_EQ(table_order(part), table_order(whole)) << "round " << round;
    }
    keytable_free(whole);
    keytable_free(part);
  }
}

}  // namespace

namespace {

// keytable_exchange is keytable_replace that hands back the old value: the
// parser frees what it returns, so a wrong value is a leak or a double free.
TEST(KeyTableOrderTest, ExchangeReplacesInPlaceAndGivesBackTheOldValue) {
  KeyTable* table = keytable_new();
  int one = 1, two = 2, three = 3;
  EXPECT_EQ(keytable_exchange(table, "General:Foo", &one), nullptr);
  EXPECT_EQ(keytable_exchange(table, "general:foo", &two), &one);
  EXPECT_EQ(keytable_exchange(table, "GENERAL:FOO", nullptr), &two);
  EXPECT_EQ(keytable_exchange(table, "GENERAL:FOO", &three), nullptr);
  EXPECT_EQ(table->count, 1);
  std::vector<std::string> keys;
  keytable_enum(table, record, &keys);
  EXPECT_EQ(keys, std::vector<std::string>{"General:Foo"});
  EXPECT_EQ(keytable_get(table, "General:Foo"), &three);
  // A new key goes in through the add path, size check included: the
  // thirteenth entry doubles the table.
  for (int i = 0; i < 11; ++i) {
    keytable_exchange(table, ("k" + std::to_string(i)).c_str(), nullptr);
  }
  EXPECT_EQ(table->mask, 15);
  keytable_exchange(table, "k11", nullptr);
  EXPECT_EQ(table->mask, 31);
  keytable_free(table);
}

}  // namespace
