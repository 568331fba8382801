// The process-wide state of one run, shared by the driver, the parser and
// the writer, and the constants the banner and the stamp line both show.
//
// The driver sets the paths and creates the key table; the parser counts;
// whoever cannot access a file reports it here, which makes the run fail.
#pragma once

#include <cstdint>

#include "support/arena.h"
#include "support/keytable.h"
#include "support/safe_output.h"
#include "tool/entry_log.h"

constexpr const char* kVersion = "0.1.0";
constexpr const char* kCredit = "Lanternfold Tools <keyfolder@example.org>";

// The file to convert: an argument itself, not a copy.
extern const char* input_path;
// The file to write: an argument itself; may equal input_path.
extern const char* output_path;
// The one key table of the process, owned by the driver.
extern KeyTable* key_table;
// The texts of key_table's values and of the leading comment lines: the
// parser copies every one here, and nothing releases one alone; owned by the driver, released with
// arena_release once the table is gone.
extern Arena value_texts;
// The entries the parser created in key_table (see entry_log.h), for the
// writer; owned by the driver with the table. Null: none are logged.
extern EntryLog* entry_log;
// The input as the driver opened it, for the output's check that no edit
// made during the run is overwritten (see safe_output.h).
extern FileIdentity input_identity;
// One line of the input's leading comment block.
struct CommentLine {
  CommentLine* next;  // the following line, or null
  const char* text;   // the piece as read, line end included, in value_texts
};
// The input's leading comment block and byte-order mark, taken by the parser
// from the stream it parses (so both come from the one read of the input)
// for the writer; its lines live in value_texts.
struct LeadingComments {
  CommentLine* head;         // first line, or null for none
  CommentLine* tail;         // last line, or null for none
  bool had_byte_order_mark;  // the input began with EF BB BF
};
extern LeadingComments leading_comments;
// Floating keys met by the parser.
extern int32_t floating_count;
// Directive lines met by the parser.
extern int32_t directive_count;
// Exit status the run ends with: 0, or 1 once a file could not be accessed.
extern int run_status;

// Prints "error accessing '<path>'", says why on standard error
// ("keyfolder: <path>: <reason>") and marks the run as failed.
void report_access_error(const char* path, const char* reason);

// Puts every field back to its start value (null, 0) for a new run in the
// same process; the table, the log and value_texts must already have been
// released.
void run_state_reset();
