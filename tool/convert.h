// The conversion as one call, from the input's bytes to the output's bytes,
// with the messages and the block check's findings as data: no file, no
// stream of the process, no exit. Memory exhaustion inside the call still
// ends the process with status 3, as in the program (util_fatal); so does
// an output of 1 GiB or more, which the call holds in one block of memory
// and which the program writes to its file as it goes.
//
//   Conversion c = convert_text(bytes, size, "arena.conf", std::time(nullptr));
//   if (!c.clean) fwrite(c.output, 1, c.output_size, stdout);
//   block_findings_print(&c.findings, "arena.conf", stderr);
//   conversion_free(&c);
#pragma once

#include <cstddef>
#include <ctime>

#include "tool/block_report.h"

struct Conversion {
  int status;             // the program's exit status for such a file: 0
  bool clean;             // no floating key: nothing is written
  char* output;           // the converted bytes, terminated after them (heap;
  size_t output_size;     // null when clean)
  char* printed;          // what the program prints after its banner: the
  size_t printed_size;    // section lines and the closing line (heap, terminated)
  BlockFindings findings; // the lines the block check names (block_report.h)
};

// Converts the `size` bytes at `input` as the program converts a file of
// those bytes on Linux: byte for byte the same output, messages and
// findings, with `name` where the program names its output path (the
// directive warning, the findings) and the stamp line showing `now` in
// local time. Each call starts a fresh run and releases it before it
// returns, so calls may follow each other; the result is the caller's.
Conversion convert_text(const char* input, size_t size, const char* name, time_t now);

// Releases what a conversion holds and empties it.
void conversion_free(Conversion* conversion);

// The run's work after the parse, for the program and the call alike: the
// clean message, or the output written and the directive warning.
void convert_parsed();

// Sizes the run's key table for an input of `bytes` bytes (a hint only).
void reserve_for_input(int64_t bytes);
