// The process-wide state of one run, shared by the driver, the parser and
// the writer, and the constants the banner and the stamp line both show.
//
// The driver begins a run (paths, a new key table and section index) and
// ends it (everything the run owns released); the parser fills the table,
// keeps the input's leading comment block and counts; whoever cannot
// access a file reports it here, which makes the run fail.
#pragma once

#include <cstdint>
#include <ctime>

#include "output/safe_output.h"
#include "support/arena.h"
#include "support/keytable.h"
#include "support/text.h"
#include "tool/block_contexts.h"
#include "tool/block_report.h"
#include "tool/section_index.h"

constexpr const char* kVersion = KEYFOLDER_VERSION;
constexpr const char* kCredit = "Lanternfold Tools <keyfolder@example.org>";

struct RunState {
  const char* input_path;       // the file to convert: an argument itself, not a copy
  const char* output_path;      // the file to write: an argument itself; may equal input_path
  FileIdentity input_identity;  // the input as the driver opened it, for the
                                // output's check that no edit made during the
                                // run is overwritten (output/safe_output.h)
  KeyTable* key_table;          // the one key table of the process (owned)
  SectionIndex* sections;       // the sections of key_table's entries, whose
                                // numbers the entries carry as their group (owned)
  Arena value_texts;            // the texts of key_table's values: the parser
                                // copies every one here and nothing releases
                                // one alone (owned)
  Arena comments;               // the input's leading comment pieces as read,
                                // taken by the parser from the one read of the
                                // input: one text, each piece terminated and
                                // the next right after it (owned)
  BlockMap blocks;              // where key_table's entries stood among the
                                // input's conditional blocks (owned)
  bool had_byte_order_mark;     // the input began with EF BB BF
  bool crlf;                    // the input's first line ended in CR LF: so
                                // does every line the writer ends itself
  int read_error;               // errno of a failed read of the input, or 0
  TextBuffer* printed;          // where the run's messages go: null for
                                // standard output (the program), memory for
                                // the call (tool/convert.h)
  TextBuffer* converted;        // the call's: where the converted text goes
                                // instead of the output path (null: the path)
  time_t converted_at;          // the call's: the time its stamp line shows
  BlockFindings* findings;      // the call's: where the block check's
                                // findings go instead of standard error
  int32_t floating_count;       // floating keys met by the parser
  int32_t directive_count;      // directive lines met by the parser
  int status;                   // exit status: 0, or 1 once a file could not be accessed
};

// The one run of the process. All zero before the first run begins.
extern RunState run;

// Starts a fresh run converting `input_path` into `output_path` (the
// texts must outlive the run): every field back to its start, a new key
// table and section index.
void run_begin(const char* input_path, const char* output_path);

// Releases everything the run owns: the table, the section index, the
// comment block and the values, all at once (no enumeration, so nothing
// can run out of memory after the output was replaced). The counters and
// the status stay.
void run_end();

// Prints a message of the run: on standard output, or into `printed`.
void run_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints "error accessing '<path>'", says why on standard error
// ("keyfolder: <path>: <reason>") and marks the run as failed.
void report_access_error(const char* path, const char* reason);
