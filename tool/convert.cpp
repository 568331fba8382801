#include "tool/convert.h"

#include <algorithm>
#include <cstdint>

#include "support/alloc.h"
#include "support/keytable.h"
#include "support/text.h"
#include "tool/parser.h"
#include "tool/run_state.h"
#include "tool/writer.h"

namespace {

// The key table's index is sized for one entry per this many input bytes
// before the parse: short "name=value" lines hold about that many, so a
// typical file fills it without doubling it again and again (each doubling
// a walk over every slot), and a file of longer lines only costs room it
// never touches.
constexpr int64_t kInputBytesPerEntry = 16;
// Room reserved at most, in entries: a guess never asks for an index of
// more than 32 million slots (a quarter of a gigabyte).
constexpr int64_t kMostReservedEntries = int64_t{1} << 24;

}  // namespace

void reserve_for_input(int64_t bytes) {
  if (bytes <= 0) return;
  keytable_reserve(run.key_table,
                   static_cast<int32_t>(std::min(bytes / kInputBytesPerEntry, kMostReservedEntries)));
}

void convert_parsed() {
  if (run.floating_count == 0) {
    run_print("this file is already clean\n");
    return;
  }
  write_config();
  // Only a file that was written has directives to check.
  if (run.status == 0 && run.directive_count != 0) {
    run_print("please check the preprocessor directives in '%s' for errors\n", run.output_path);
  }
}

Conversion convert_text(const char* input, size_t size, const char* name, time_t now) {
  Conversion result{};
  TextBuffer printed{};
  TextBuffer converted{};
  run_begin(name, name);
  run.printed = &printed;
  run.converted = &converted;
  run.converted_at = now;
  run.findings = &result.findings;
  reserve_for_input(static_cast<int64_t>(std::min<size_t>(size, INT64_MAX)));
  parse_config(input_stream_of_text(input, size));
  // Nothing looks a key up from here on: the writer reads the table in order.
  keytable_drop_index(run.key_table);
  convert_parsed();
  result.status = run.status;
  result.clean = run.floating_count == 0;
  if (!result.clean) result.output = text_buffer_take(&converted, &result.output_size);
  result.printed = text_buffer_take(&printed, &result.printed_size);
  text_buffer_free(&converted);
  run_end();
  return result;
}

void conversion_free(Conversion* conversion) {
  util_free(conversion->output);
  util_free(conversion->printed);
  block_findings_free(&conversion->findings);
  *conversion = Conversion{};
}
