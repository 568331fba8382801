#include "reference_writer.h"

#include <algorithm>
#include <string>
#include <vector>

#include "chained_table.h"
#include "internals.h"
#include "support/keytable.h"
#include "tool/run_state.h"
#include "tool/section_sort.h"
#include "tool/writer.h"

namespace {

// The section part of a key: its text before the first ':'.
std::string section_of(const std::string& key) { return key.substr(0, key.find(':')); }

int compare_names(const void* context, int32_t a, int32_t b) {
  const auto& names = *static_cast<const std::vector<std::string>*>(context);
  return section_order(names[static_cast<size_t>(a)].c_str(),
                       names[static_cast<size_t>(b)].c_str());
}

}  // namespace

ReferenceMasks reference_write_sections(OutputSink* output) {
  ChainedTable table;
  keytable_each(run.key_table,
                [&table](const KeyEntry* entry, int32_t) { table.add(entry->key, entry->value); });
  ReferenceMasks masks{table.mask(), 0};

  // Gathering: each section part once, as the enumeration meets it, unless
  // it is empty or begins with '#'.
  std::vector<std::string> names;
  table.enumerate([&names](const std::string& key, void*) {
    std::string section = section_of(key);
    if (!section.empty() && section[0] != '#' &&
        std::find(names.begin(), names.end(), section) == names.end()) {
      names.push_back(section);
    }
    return false;
  });
  std::vector<int32_t> order;
  for (size_t i = 0; i < names.size(); ++i) order.push_back(static_cast<int32_t>(i));
  sort_items(order.data(), static_cast<int32_t>(order.size()), compare_names, &names);

  for (int32_t i : order) {
    const std::string& name = names[static_cast<size_t>(i)];
    write_section(output, name.c_str(), nullptr, 0);
    table.enumerate([output, &name](const std::string& key, void* value) {
      if (section_of(key) != name) return false;
      // The name part: everything after the first ':' (a key holds one).
      write_entry(output, key.c_str() + std::min(key.size(), name.size() + 1),
                  static_cast<const char*>(value));
      return true;
    });
  }
  masks.after = table.mask();
  return masks;
}
