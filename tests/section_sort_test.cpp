#include "tool/section_sort.h"

#include "internals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

const Names kWeighted = {"__topmost__", "General",   "Modules", "Misc",   "Warbird",   "Javelin",
                         "Spider",      "Leviathan", "Terrier", "Weasel", "Lancaster", "Shark"};

// Numbers the names as the parser does and sorts the numbers with
// sort_sections, as the writer does.
Names sorted(const Names& names) {
  SectionIndex* sections = section_index_new();
  std::vector<int32_t> order;
  for (const std::string& name : names) {
    order.push_back(section_index_number(sections, (name + ":k").c_str()));
  }
  sort_sections(order.data(), static_cast<int32_t>(order.size()), sections);
  Names out;
  for (int32_t section : order) out.emplace_back(section_index_name(sections, section));
  section_index_free(sections);
  return out;
}

// Sorts numbered texts with sort_items and `compare` on the texts.
Names sort_texts(const Names& texts, int (*compare)(const std::string&, const std::string&)) {
  struct Context {
    const Names* texts;
    int (*compare)(const std::string&, const std::string&);
  } context{&texts, compare};
  std::vector<int32_t> items;
  for (size_t i = 0; i < texts.size(); ++i) items.push_back(static_cast<int32_t>(i));
  sort_items(
      items.data(), static_cast<int32_t>(items.size()),
      [](const void* closure, int32_t a, int32_t b) {
        const auto* c = static_cast<const Context*>(closure);
        return c->compare((*c->texts)[static_cast<size_t>(a)], (*c->texts)[static_cast<size_t>(b)]);
      },
      &context);
  Names out;
  for (int32_t item : items) out.push_back(texts[static_cast<size_t>(item)]);
  return out;
}

std::mt19937 coin(1);

// The index grows as sections are numbered; every section, the first
// included, keeps its number when asked for again after the growths.
TEST(SectionIndex, NumbersSurviveGrowth) {
  SectionIndex* sections = section_index_new();
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t i = 0; i < 200; ++i) {
      std::string key = "S" + std::to_string(i) + (pass == 0 ? ":k" : ":x");
      EXPECT_EQ(section_index_number(sections, key.c_str()), i);
    }
  }
  section_index_free(sections);
}

}  // namespace

TEST(SectionOrder, ComparisonKeepsTheMagnitude) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"S", "Shark", -44},                                       // 0 - 'h' + 60
      {"Shark", "S", 44},           {"Warbird", "Javelin", -7},  // the closest weighted pair
      {"Lan", "Lancaster", -19},  // overcomes the weight of Lancaster
      {"7abc", "Shark", 0},       // the name comparison cancels the weight
      {"misc", "Misc", 0},          {"GENERAL", "general", 0},
      {"alpha", "zeta", 'a' - 'z'}, {"abc", "Shark", 'a' - 's' + 60},
  };
  for (const Case& c : cases) EXPECT_EQ(section_order(c.a, c.b), c.order) << c.a << " " << c.b;
  EXPECT_EQ(section_weight("gEnErAl"), 500);
  EXPECT_EQ(section_weight("Generals"), 0);
}

TEST(SectionOrder, SortsWeightedNamesFirstThenByName) {
  struct Case {
    Names in;
    Names out;
  };
  const Case cases[] = {
      {{"zeta", "Shark", "Misc", "alpha", "General", "Warbird", "__topmost__"},
       {"__topmost__", "General", "Misc", "Warbird", "Shark", "alpha", "zeta"}},
      {{"Warbird", "misc", "zeta", "General"}, {"General", "misc", "Warbird", "zeta"}},
      // Equal names, few: the first greatest goes to the end.
      {{"misc", "Misc"}, {"Misc", "misc"}},
      {{"Shark", "1abc", "zeta", "Lancaster"}, {"Lancaster", "1abc", "Shark", "zeta"}},
      {{"abc", "Shark", "Spider"}, {"Spider", "Shark", "abc"}},
      {{"Shark", "S"}, {"S", "Shark"}},
      // Above eight names: the merge path.
      {{"k", "j", "i", "h", "g", "f", "e", "d", "c", "b", "a", "Shark", "1abc", "Lancaster"},
       {"Lancaster", "1abc", "Shark", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(sorted(c.in), c.out);
}

TEST(SectionOrder, WeightedNamesComeOutInTableOrderFromAnyOrder) {
  Names eight(kWeighted.rend() - 8, kWeighted.rend());  // reversed: the selection path
  EXPECT_EQ(sorted(eight), Names(kWeighted.begin(), kWeighted.begin() + 8));
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    Names shuffled = kWeighted;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    shuffled.push_back("zz");
    shuffled.insert(shuffled.begin(), "aa");
    Names expected = kWeighted;
    expected.push_back("aa");
    expected.push_back("zz");
    EXPECT_EQ(sorted(shuffled), expected) << "round " << round;
  }
}

TEST(SectionOrder, SortIsCorrectForAConsistentComparator) {
  std::mt19937 random(3);
  for (int count = 0; count <= 40; ++count) {
    Names names;
    for (int i = 0; i < count; ++i) names.push_back(std::to_string(random() % 50));
    Names out = sort_texts(names, [](const std::string& a, const std::string& b) {
      return std::stoi(a) - std::stoi(b);
    });
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return std::stoi(a) < std::stoi(b);
    });
    EXPECT_EQ(out, names) << count << " texts";
  }
}

// Whatever the comparator answers, the sort ends, touches only its array
// and returns every item exactly once.
TEST(SectionOrder, SortSurvivesAComparatorOfRandomSigns) {
  constexpr int32_t kGuard = 4;
  constexpr int32_t kMarker = -7;
  for (int32_t count = 0; count <= 200; ++count) {
    std::vector<int32_t> array(static_cast<size_t>(count + 2 * kGuard), kMarker);
    for (int32_t i = 0; i < count; ++i) array[static_cast<size_t>(kGuard + i)] = i;
    sort_items(
        array.data() + kGuard, count,
        [](const void*, int32_t, int32_t) { return static_cast<int>(coin() % 5) - 2; }, nullptr);
    for (int32_t i = 0; i < kGuard; ++i) {
      EXPECT_EQ(array[static_cast<size_t>(i)], kMarker) << count;
      EXPECT_EQ(array[array.size() - 1 - static_cast<size_t>(i)], kMarker) << count;
    }
    std::vector<int32_t> after(array.begin() + kGuard, array.end() - kGuard);
    std::sort(after.begin(), after.end());
    for (int32_t i = 0; i < count; ++i) EXPECT_EQ(after[static_cast<size_t>(i)], i) << count;
  }
}
