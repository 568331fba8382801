#include "support/keytable.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Keys = std::vector<std::string>;

// An enumeration: every key in the order met; entries for which `remove`
// says true are removed by the walk.
Keys enumerate(KeyTable* table, const std::function<bool(const std::string&)>& remove) {
  struct Walk {
    Keys met;
    const std::function<bool(const std::string&)>* remove;
  } walk{{}, &remove};
  keytable_enum(
      table,
      [](const char* key, void*, void* closure) {
        auto* w = static_cast<Walk*>(closure);
        w->met.emplace_back(key);
        return (*w->remove)(key) ? 1 : 0;
      },
      &walk);
  return walk.met;
}

Keys enumerate(KeyTable* table) {
  return enumerate(table, [](const std::string&) { return false; });
}

// An independent reference for the order: buckets as vectors, a new key at
// the back of its bucket, a resize that refills new buckets in the order the
// old ones are walked, and the size rule written from its description (grow
// above 75 percent, halve below 18 above 16 buckets, one step per check).
class Model {
 public:
  void add(const std::string& key) {
    buckets_[bucket(key)].push_back(key);
    ++count_;
    check();
  }

  Keys enumerate(const std::function<bool(const std::string&)>& remove) {
    Keys met;
    for (Keys& chain : buckets_) {
      Keys kept;
      for (const std::string& key : chain) {
        met.push_back(key);
        if (remove(key)) {
          --count_;
        } else {
          kept.push_back(key);
        }
      }
      chain = kept;
    }
    check();
    return met;
  }

  int32_t mask() const { return static_cast<int32_t>(buckets_.size()) - 1; }

 private:
  size_t bucket(const std::string& key) const {
    return key_hash(key.c_str()) & static_cast<uint32_t>(mask());
  }

  void check() {
    int32_t load = count_ * 100 / (mask() + 1);
    if (load > 75) {
      resize(buckets_.size() * 2);
    } else if (load < 18 && buckets_.size() > 16) {
      resize(buckets_.size() / 2);
    }
  }

  void resize(size_t size) {
    std::vector<Keys> old = buckets_;
    buckets_.assign(size, Keys{});
    for (const Keys& chain : old) {
      for (const std::string& key : chain) buckets_[bucket(key)].push_back(key);
    }
  }

  std::vector<Keys> buckets_ = std::vector<Keys>(16);
  int32_t count_ = 0;
};

std::string numbered(const char* prefix, int number) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%03d", prefix, number);
  return text;
}

// Values that tell entries apart without owning anything.
void* tag(intptr_t n) { return reinterpret_cast<void*>(n); }

}  // namespace

TEST(KeyHash, GivesTheFixedValues) {
  struct Case {
    const char* text;
    uint32_t hash;
  };
  const Case cases[] = {
      {"", 0x00F0E1D2},
      {"a", 0x785DC007},
      {"A", 0x785DC007},
      {"General:Foo", 0xB9F34406},
      {"general:foo", 0xB9F34406},
      {"Misc:Bar", 0x1CCA47BB},
      {"Spider:Y", 0xCFDC5F8A},
      {"Warbird:InitialSpeed", 0xBD401ED4},
      // A byte above 0x7F is read as a signed byte and subtracts: 0xE9 adds
      // -23, where an unsigned read would give 0x785DC38F.
      {"\xE9", 0x785DC08F},
      {"Caf\xC9", 0x7AFA72FF},  // OR 0x20 folds 0xC9 onto 0xE9 too
      {"@", 0x785DC006},
      {"`", 0x785DC006},
  };
  for (const Case& c : cases) EXPECT_EQ(key_hash(c.text), c.hash) << '"' << c.text << '"';
}

TEST(KeyTable, NewTableIsSixteenEmptyBuckets) {
  KeyTable* table = keytable_new();
  EXPECT_EQ(table->mask, 15);
  EXPECT_EQ(table->count, 0);
  EXPECT_EQ(table->max_load, 75);
  for (int i = 0; i <= table->mask; ++i) EXPECT_EQ(table->buckets[i], nullptr);
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), nullptr);
  // An empty walk visits nothing and its size check leaves 16 buckets.
  EXPECT_TRUE(enumerate(table, [](const std::string&) { return true; }).empty());
  EXPECT_EQ(table->mask, 15);
  keytable_free(table);
}

TEST(KeyTable, ReplaceKeepsTheFirstKeyTextAndItsPlace) {
  KeyTable* table = keytable_new();
  // Misc:Alpha and Misc:Gamma share a chain; replacing Alpha must not move
  // it behind Gamma.
  keytable_replace(table, "Misc:Alpha", tag(1));
  keytable_add(table, "Misc:Gamma", tag(2));
  keytable_replace(table, "MISC:ALPHA", tag(3));
  EXPECT_EQ(table->count, 2);
  EXPECT_EQ(keytable_get(table, "misc:alpha"), tag(3));
  EXPECT_EQ(enumerate(table), (Keys{"Misc:Alpha", "Misc:Gamma"}));
  keytable_free(table);
}

TEST(KeyTable, EqualKeysAddedTwiceStandInCallOrder) {
  KeyTable* table = keytable_new();
  keytable_add(table, "Misc:Bar", tag(1));
  keytable_add(table, "misc:BAR", tag(2));
  EXPECT_EQ(table->count, 2);
  EXPECT_EQ(keytable_get(table, "MISC:bar"), tag(1));
  EXPECT_EQ(enumerate(table), (Keys{"Misc:Bar", "misc:BAR"}));
  keytable_replace(table, "misc:bar", tag(3));  // the first one only
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), tag(3));
  // Removing the first uncovers the second.
  enumerate(table, [](const std::string& key) { return key == "Misc:Bar"; });
  EXPECT_EQ(keytable_get(table, "Misc:Bar"), tag(2));
  keytable_free(table);
}

TEST(KeyTable, KeysThatHashAlikeStayDistinct) {
  KeyTable* table = keytable_new();
  keytable_replace(table, "@", tag(1));
  keytable_replace(table, "`", tag(2));
  EXPECT_EQ(table->count, 2);
  EXPECT_EQ(keytable_get(table, "@"), tag(1));
  EXPECT_EQ(keytable_get(table, "`"), tag(2));
  keytable_free(table);
}

TEST(KeyTable, GrowsWhenTheLoadFirstExceedsSeventyFive) {
  struct Case {
    int entries;
    int32_t mask;
  };
  const Case cases[] = {{12, 15}, {13, 31}, {24, 31}, {25, 63},
                        {48, 63}, {49, 127}, {97, 127}, {98, 255}};
  for (const Case& c : cases) {
    KeyTable* table = keytable_new();
    Model model;
    for (int i = 0; i < c.entries; ++i) {
      keytable_add(table, numbered("Misc:K", i).c_str(), nullptr);
      model.add(numbered("Misc:K", i));
    }
    EXPECT_EQ(table->mask, c.mask) << c.entries << " entries";
    EXPECT_EQ(table->count, c.entries);
    EXPECT_EQ(enumerate(table), model.enumerate([](const std::string&) { return false; }))
        << c.entries << " entries";
    keytable_free(table);
  }
}

TEST(KeyTable, ShrinksOneHalvingPerEnumeration) {
  struct Case {
    int entries;
    int kept;
    std::vector<int32_t> masks;  // after each of the following enumerations
  };
  const Case cases[] = {
      {24, 5, {15, 15}},
      {24, 6, {31, 31}},
      {40, 5, {31, 15, 15}},  // 64 -> 32 at the removing walk, 16 at the next
      {40, 12, {63, 63}},     // 12 in 64 buckets is load 18: no halving
      {40, 11, {31, 31}},
      {100, 3, {127, 63, 31, 15, 15}},  // from 256 buckets
  };
  for (const Case& c : cases) {
    KeyTable* table = keytable_new();
    Model model;
    for (int i = 0; i < c.entries; ++i) {
      keytable_add(table, numbered("Section:Key", i).c_str(), nullptr);
      model.add(numbered("Section:Key", i));
    }
    // Keep every key whose number is below `kept`; only the first walk removes.
    int kept = c.kept;
    auto remove = [&kept](const std::string& key) {
      return std::stoi(key.substr(key.size() - 3)) >= kept;
    };
    for (size_t walk = 0; walk < c.masks.size(); ++walk) {
      EXPECT_EQ(enumerate(table, remove), model.enumerate(remove))
          << c.entries << "/" << c.kept << " walk " << walk;
      EXPECT_EQ(table->mask, c.masks[walk]) << c.entries << "/" << c.kept << " walk " << walk;
      EXPECT_EQ(table->mask, model.mask());
      EXPECT_EQ(table->count, c.kept);
    }
    keytable_free(table);
  }
}

// The worked orders: chain order within a bucket, bucket order, and the
// order after a halving between two sections' walks.
TEST(KeyTable, EnumerationOrderOfTheWorkedExamples) {
  KeyTable* table = keytable_new();
  for (const char* key : {"Misc:A", "Misc:B", "Misc:C", "Misc:D"}) keytable_add(table, key, nullptr);
  EXPECT_EQ(enumerate(table), (Keys{"Misc:D", "Misc:C", "Misc:B", "Misc:A"}));
  keytable_free(table);

  table = keytable_new();
  for (const char* key : {"Misc:Alpha", "Misc:Beta", "Misc:Gamma", "Misc:Delta", "Misc:Epsilon"}) {
    keytable_replace(table, key, nullptr);
  }
  EXPECT_EQ(enumerate(table),
            (Keys{"Misc:Delta", "Misc:Alpha", "Misc:Gamma", "Misc:Beta", "Misc:Epsilon"}));
  keytable_free(table);

  table = keytable_new();
  for (int i = 1; i <= 26; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "Misc:K%02d", i);
    keytable_replace(table, key, nullptr);
  }
  for (const char* name : {"Speed", "Thrust", "Bounty", "Radius", "Gun", "Bomb", "Burst", "Portal"}) {
    keytable_replace(table, (std::string("Warbird:") + name).c_str(), nullptr);
  }
  ASSERT_EQ(table->mask, 63);
  auto in = [](const char* section) {
    return [section](const std::string& key) { return key.rfind(section, 0) == 0; };
  };
  auto names_in = [](const Keys& keys, const char* section) {
    Keys names;
    for (const std::string& key : keys) {
      if (key.rfind(section, 0) == 0) names.push_back(key.substr(key.find(':') + 1));
    }
    return names;
  };
  // From 64 buckets, before anything is removed.
  EXPECT_EQ(names_in(enumerate(table), "Warbird:"),
            (Keys{"Portal", "Bounty", "Speed", "Bomb", "Burst", "Thrust", "Radius", "Gun"}));
  EXPECT_EQ(names_in(enumerate(table, in("Misc:")), "Misc:"),
            (Keys{"K09", "K18", "K08", "K19", "K07", "K16", "K06", "K17", "K26",
                  "K25", "K01", "K10", "K22", "K11", "K21", "K24", "K23", "K05",
                  "K14", "K04", "K15", "K03", "K12", "K20", "K02", "K13"}));
  EXPECT_EQ(table->mask, 31);  // 8 entries left in 64 buckets: load 12
  EXPECT_EQ(names_in(enumerate(table, in("Warbird:")), "Warbird:"),
            (Keys{"Portal", "Burst", "Thrust", "Bounty", "Radius", "Gun", "Speed", "Bomb"}));
  EXPECT_EQ(table->count, 0);
  keytable_free(table);
}

// Random adds and removing walks through several growths and halvings; the
// whole order must match the reference after every step.
TEST(KeyTable, OrderMatchesTheReferenceThroughGrowthAndShrinking) {
  std::mt19937 random(20261208);
  KeyTable* table = keytable_new();
  Model model;
  int next = 0;
  for (int round = 0; round < 40; ++round) {
    int adds = static_cast<int>(random() % 120);
    for (int i = 0; i < adds; ++i) {
      // Mixed case and some repeated keys, so equal keys share chains.
      std::string key = numbered(random() % 2 ? "Sec:k" : "SEC:K", next++ % 500);
      keytable_add(table, key.c_str(), nullptr);
      model.add(key);
      ASSERT_EQ(table->mask, model.mask()) << "round " << round << " add " << i;
    }
    unsigned keep_one_in = 1 + static_cast<unsigned>(random() % 12);
    unsigned seed = static_cast<unsigned>(random());
    auto remove = [keep_one_in, seed](const std::string& key) {
      return (std::hash<std::string>{}(key) + seed) % keep_one_in != 0;
    };
    ASSERT_EQ(enumerate(table, remove), model.enumerate(remove)) << "round " << round;
    ASSERT_EQ(table->mask, model.mask()) << "round " << round;
    ASSERT_EQ(enumerate(table), model.enumerate([](const std::string&) { return false; }));
  }
  keytable_free(table);
}
