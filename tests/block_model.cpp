#include "block_model.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <utility>

#include "tool/block_check.h"
#include "tool/parser.h"

// Named, not anonymous: the tests are compiled in unity batches.
namespace block_model {

std::vector<ModelStore>* recording = nullptr;

void record(const char* key, size_t text_offset, const char* value, uint32_t line) {
  recording->push_back(
      ModelStore{key, text_offset, value == nullptr, value != nullptr ? value : "", line});
}

bool white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(std::string text) {
  while (!text.empty() && white(text.back())) text.pop_back();
  return text;
}

// The lines of `bytes`: a line feed, a run of carriage returns, or such a
// run and the line feed after it end one.
std::vector<std::string> split_lines(const std::string& bytes) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') {
      lines.back() += bytes[i];
      continue;
    }
    size_t end = i + 1;
    if (bytes[i] == '\r') {
      while (end < bytes.size() && bytes[end] == '\r') ++end;
      if (end < bytes.size() && bytes[end] == '\n') ++end;
    }
    lines.emplace_back();
    i = end - 1;
  }
  return lines;
}

// 0 plain, 1 opens, 2 next branch, 3 closes; `text` begins with '#'.
int conditional(const std::string& text) {
  static const std::regex word("^#[ \t]*(if|ifdef|ifndef|(elif|else)|(endif))(?![A-Za-z0-9_])",
                               std::regex::icase);
  std::smatch match;
  if (!std::regex_search(text, match, word)) return 0;
  return match[3].matched ? 3 : match[2].matched ? 2 : 1;
}

bool is_else(const std::string& text) {
  static const std::regex word("^#[ \t]*else(?![A-Za-z0-9_])", std::regex::icase);
  return std::regex_search(text, word);
}

// An open block: its opening text and branch, the entry that opened it and
// (in the output) its line.
struct Block {
  std::string text;
  int branch;
  size_t entry;
  uint32_t line;
  bool had_else = false;  // an #else of it came
};

// The open blocks as one text (no opening text holds a line feed).
std::string context_of(const std::vector<Block>& open) {
  std::string context;
  for (const Block& block : open) context += block.text + "\n" + std::to_string(block.branch) + "\n";
  return context;
}

struct Entry {
  std::string section;  // the key before its first colon
  std::string name;     // after it
  std::string value;
  bool has_value = false;
  bool directive = false;  // made by a directive line
  bool matched = false;    // a conditional directive the input matched
  bool after_else = false; // an #else or #elif after an #else of its block
  std::set<std::string> contexts;  // of its lines
  std::string context;             // of its first line
  uint32_t line = 0;               // its first line
  std::string last_context;        // of its last line, whose value it keeps
  uint32_t last_line = 0;
  std::string written() const { return has_value ? name + " = " + value : name; }
};

std::string folded(std::string text) {
  for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// The entries the stores make, each with the contexts of its lines.
std::vector<Entry> follow_input(const std::string& input, const std::vector<ModelStore>& stores,
                                std::string* problem) {
  std::vector<std::string> lines = split_lines(input);
  std::vector<Entry> entries;
  std::map<std::string, size_t> first;
  std::vector<Block> open;
  for (const ModelStore& store : stores) {
    std::string text = store.key.substr(store.text_offset);
    const std::string* held = store.line - 1 < lines.size() ? &lines[store.line - 1] : nullptr;
    if (held == nullptr || held->find(store.directive ? text : "=") == std::string::npos) {
      *problem = "line " + std::to_string(store.line) + " does not hold " + store.key;
    }
    auto known = first.find(folded(store.key));
    size_t e = known != first.end() && !store.directive ? known->second : entries.size();
    if (e == entries.size()) {
      size_t colon = store.key.find(':');
      entries.emplace_back();
      entries.back().section = store.key.substr(0, colon);
      entries.back().name = store.key.substr(colon + 1);
      entries.back().directive = store.directive;
      first.emplace(folded(store.key), e);
    }
    Entry& entry = entries[e];
    if (entry.contexts.empty()) entry.context = context_of(open);
    if (entry.contexts.empty()) entry.line = store.line;
    entry.contexts.insert(context_of(open));
    entry.last_context = context_of(open);
    entry.last_line = store.line;
    if (!store.directive) {
      entry.value = store.value;
      entry.has_value = true;
      continue;
    }
    int kind = conditional(text);
    if (kind == 1) open.push_back(Block{trimmed(text), 0, e, 0});
    if (kind >= 2 && !open.empty()) {
      entry.matched = true;
      if (kind == 2) {
        ++open.back().branch;
        entry.after_else = open.back().had_else;
        open.back().had_else = open.back().had_else || is_else(text);
      }
      if (kind == 3) {
        entries[open.back().entry].matched = true;
        open.pop_back();
      }
    }
  }
  return entries;
}

// The output's entry lines: (line number, entry), in order.
std::vector<std::pair<uint32_t, size_t>> map_output(const std::string& output,
                                                    const std::vector<Entry>& entries,
                                                    std::string* problem) {
  std::map<std::string, std::map<std::string, std::deque<size_t>>> unwritten;
  for (size_t e = 0; e < entries.size(); ++e) {
    const std::string& section = entries[e].section;
    if (section.empty() || section[0] == '#') continue;
    unwritten[section][entries[e].written()].push_back(e);
  }
  std::vector<std::string> lines = split_lines(output);
  size_t i = 1;
  while (i < lines.size() && (lines[i].rfind(";", 0) == 0 || lines[i].rfind("//", 0) == 0)) ++i;
  if (i < lines.size() && lines[i].empty()) ++i;
  std::vector<std::pair<uint32_t, size_t>> written;
  while (i < lines.size() && problem->empty()) {
    // The directives' own section has no header (a section of the same
    // name in other letters may come before it).
    std::string section = "__topmost__";
    if (unwritten[section][lines[i]].empty()) {
      section = lines[i].substr(1, lines[i].size() - 2);
      ++i;
    }
    for (; i < lines.size() && !lines[i].empty(); ++i) {
      std::deque<size_t>& candidates = unwritten[section][lines[i]];
      if (candidates.empty()) *problem = "no entry wrote line " + std::to_string(i + 1);
      if (candidates.empty()) break;
      written.emplace_back(static_cast<uint32_t>(i + 1), candidates.front());
      candidates.pop_front();
    }
    ++i;
  }
  return written;
}

// The first plain directive of each section whose text differs from the
// one the input had in its place: its line, with kReorderedFinding.
void find_reordered(const std::vector<Entry>& entries,
                    const std::vector<std::pair<uint32_t, size_t>>& written,
                    std::map<uint32_t, int>* findings) {
  auto in_order = [&entries](size_t e) {
    const Entry& entry = entries[e];
    return entry.directive && entry.name[0] == '#' && conditional(entry.name) == 0;
  };
  std::map<std::string, std::vector<std::pair<uint32_t, size_t>>> now;
  for (const auto& [line, e] : written) {
    if (in_order(e)) now[entries[e].section].emplace_back(line, e);
  }
  for (const auto& [section, lines] : now) {
    std::vector<size_t> then;
    for (size_t e = 0; e < entries.size(); ++e) {
      if (entries[e].section == section && in_order(e)) then.push_back(e);
    }
    for (size_t k = 0; k < lines.size(); ++k) {
      if (trimmed(entries[lines[k].second].name) != trimmed(entries[then[k]].name)) {
        (*findings)[lines[k].first] |= kReorderedFinding;
        break;
      }
    }
  }
}

// A moved or broken line's finding names its entry's first input line: it
// goes with the kinds, above them.
constexpr int kAllKinds = 15;
int at(const Entry& entry) { return static_cast<int>(entry.line) << 4; }

std::map<uint32_t, int> model_findings(const std::string& input,
                                       const std::vector<ModelStore>& stores,
                                       const std::string& output, std::string* problem) {
  std::vector<Entry> entries = follow_input(input, stores, problem);
  std::vector<std::pair<uint32_t, size_t>> written = map_output(output, entries, problem);
  std::map<uint32_t, int> findings;
  std::vector<Block> open;
  for (const auto& [line, e] : written) {
    const Entry& entry = entries[e];
    std::string text = entry.written();
    int kind = text[0] == '#' ? conditional(text) : 0;
    if (kind == 1) open.push_back(Block{trimmed(text), 0, e, line});
    if (kind >= 2 && open.empty() && entry.matched) findings[line] = kBrokenFinding | at(entry);
    if (kind >= 2 && !open.empty()) {
      // A branch after its block's #else, which the input did not have.
      if (kind == 2 && open.back().had_else && entry.matched && !entry.after_else) {
        findings[line] = kBrokenFinding | at(entry);
      }
      if (kind == 2) ++open.back().branch;
      if (kind == 2 && is_else(text)) open.back().had_else = true;
      if (kind == 3) open.pop_back();
    }
    if (kind != 0) continue;
    // A key stored in several blocks moved if its line stands elsewhere
    // than the line of the value it keeps: that line goes with the kinds.
    if (entry.contexts.size() > 1) findings[line] |= kMergedFinding;
    if (entry.contexts.size() > 1 && entry.last_context != context_of(open)) {
      findings[line] |= kMovedFinding | static_cast<int>(entry.last_line) << 4;
    }
    if (entry.contexts.size() == 1 && entry.context != context_of(open)) {
      findings[line] |= kMovedFinding | at(entry);
    }
  }
  for (const Block& block : open) {
    if (entries[block.entry].matched) {
      findings[block.line] = kBrokenFinding | at(entries[block.entry]);
    }
  }
  find_reordered(entries, written, &findings);
  return findings;
}

// One phrase of the report for each kind, in the order of their bits, and
// the words that name an input line.
const char* const kPhrases[] = {"; in the input ", "stored in different blocks in the input",
                                "matched in the input (input line", "stand in another order than",
                                "(input line "};

// Whether a key or value holds words of the report: its lines could then
// not be read back by them.
bool holds_report_words(const std::vector<ModelStore>& stores) {
  for (const ModelStore& store : stores) {
    for (const char* phrase : kPhrases) {
      if (store.key.find(phrase) != std::string::npos ||
          store.value.find(phrase) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

// The report read back: line -> kinds, the input lines each line names,
// and the count its last line gives of lines not shown.
std::map<uint32_t, int> reported_findings(const std::string& err, const std::string& output_path,
                                          std::map<uint32_t, std::set<int>>* named,
                                          size_t* more) {
  const std::regex line_re(std::regex_replace(output_path, std::regex("[^/A-Za-z0-9]"), "\\$&") +
                           ":(([0-9]+): .*| ([0-9]+) more lines changed .*)");
  const std::regex named_re("\\(input line ([0-9]{1,9})\\)");
  std::map<uint32_t, int> findings;
  std::smatch match;
  for (const std::string& line : split_lines(err)) {
    if (!std::regex_match(line, match, line_re)) continue;
    if (match[3].matched) *more = std::stoul(match[3]);
    if (!match[2].matched) continue;
    auto at_line = static_cast<uint32_t>(std::stoul(match[2]));
    int& kinds = findings[at_line];
    for (int kind = 0; kind < 4; ++kind) {
      if (line.find(kPhrases[kind]) != std::string::npos) kinds |= 1 << kind;
    }
    // (A name or text may hold such words too: every one is kept.)
    for (std::sregex_iterator it(line.begin(), line.end(), named_re), end; it != end; ++it) {
      (*named)[at_line].insert(std::stoi((*it)[1]));
    }
  }
  return findings;
}

}  // namespace block_model

using namespace block_model;

StoreRecorder::StoreRecorder() {
  recording = &stores;
  parse_store_listener = record;
}

StoreRecorder::~StoreRecorder() {
  parse_store_listener = nullptr;
  recording = nullptr;
}

std::string block_report_differs(const std::string& input, const std::vector<ModelStore>& stores,
                                 const std::string& output, const std::string& err,
                                 const std::string& output_path, int* kinds) {
  std::string problem;
  std::map<uint32_t, int> model = model_findings(input, stores, output, &problem);
  if (!problem.empty()) return problem;
  if (holds_report_words(stores)) return "";
  size_t more = 0;
  std::map<uint32_t, std::set<int>> named;
  std::map<uint32_t, int> reported = reported_findings(err, output_path, &named, &more);
  auto shown = model.begin();
  std::advance(shown, std::min<size_t>(model.size(), kReportedLines));
  std::map<uint32_t, int> expected;
  for (auto it = model.begin(); it != shown; ++it) expected[it->first] = it->second & kAllKinds;
  for (const auto& finding : model) *kinds |= finding.second & kAllKinds;
  bool same = reported == expected && reported.size() + more == model.size();
  for (auto it = model.begin(); it != shown && same; ++it) {
    same = (it->second >> 4) == 0 || named[it->first].count(it->second >> 4) > 0;
  }
  if (!same) {
    return "the model finds " + std::to_string(model.size()) + " lines; the report:\n" + err;
  }
  return "";
}
