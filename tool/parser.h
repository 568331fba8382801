// The input parser: reads a whole configuration file and fills the key table.
//
// Every key is stored under its composed key "section:name" with a copy of
// its value in the run's value_texts; every "#" directive line under
// "section:#text" with no value (kTopmostSection while no section is current).
// Each entry made is tagged with the number of its section (see
// section_index.h). Floating keys and directives are counted in the run.
// Lines that fit no form are dropped silently; over-long parts are cut to
// their fields. There are no errors: the caller checks the stream for a
// read error afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tool/line_reader.h"
#include "tool/section_names.h"

// Field sizes in characters, each without its terminator.
constexpr int kSectionChars = 32;      // a section name
constexpr int kNameChars = 48;         // a key name
constexpr int kValueChars = 256;       // a value, also one assembled from continuations
constexpr int kComposedKeyChars = 79;  // "section:name" as stored

// Reads `stream` (a file open at its start and owned by the caller, or a
// text in memory) to its end into the run's key table, which only gains
// entries and new values (a replaced value stays in value_texts, unused,
// until the run ends). Its leading comment pieces and byte-order mark go to
// the run as well.
void parse_config(InputStream stream);
inline void parse_config(FILE* stream) { parse_config(input_stream_of_file(stream)); }

// Called, when set, with every store the parser makes, in input order:
// the composed key (valid for the call only), where a directive line's text
// begins in it (0 for a key), the value (null for a directive line) and the
// input line it stands on. For the tests' model of the blocks; the program
// never sets it.
using StoreListener = void (*)(const char* key, size_t text_offset, const char* value,
                               uint32_t line);
extern StoreListener parse_store_listener;
