// A model of what a conversion reports about conditional blocks, kept
// apart from the program's own structures: it works from the input's
// bytes, the parser's stores in order (parse_store_listener) and the
// output's bytes alone, walking both texts with a stack of open blocks and
// comparing contexts as lists of texts. The differential test and the
// fuzzer hold the report on standard error to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ModelStore {
  std::string key;     // the composed key
  size_t text_offset;  // where a directive line's text begins; 0 for a key
  bool directive;      // stored with no value
  std::string value;
  uint32_t line;  // the input line the parser gave
};

// Records every store of the parses made while it lives.
class StoreRecorder {
 public:
  StoreRecorder();
  ~StoreRecorder();
  StoreRecorder(const StoreRecorder&) = delete;
  StoreRecorder& operator=(const StoreRecorder&) = delete;
  std::vector<ModelStore> stores;
};

// What differs between the report on standard error `err` (for the output
// at `output_path`) and the model's findings: the report must name the
// first kReportedLines of the lines the model finds, each with the same
// kinds (tool/block_check.h), and then count the rest. Empty when nothing
// differs; also says so when the model could not follow the texts (a
// store on a line that does not hold it, an output line no entry wrote).
// An input whose keys or values hold the report's own words is not
// compared: its report cannot be read back by them. The kinds the model
// found are added to `*kinds`.
std::string block_report_differs(const std::string& input, const std::vector<ModelStore>& stores,
                                 const std::string& output, const std::string& err,
                                 const std::string& output_path, int* kinds);
