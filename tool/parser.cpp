#include "tool/parser.h"

#include <cstring>

#include "support/arena.h"
#include "support/text.h"
#include "tool/block_contexts.h"
#include "tool/line_reader.h"
#include "tool/run_state.h"

// Trims into a field (declared for the tests in tests/internals.h).
void trim_copy(char* destination, const char* source, int limit);

namespace {

// Stores go to the table a batch at a time (keytable_store_batch).
constexpr int kStoreBatch = 16;

// The working fields of one parse.
struct ParseState {
  char current_section[kSectionChars + 1];        // from the last header; empty before one
  char pending_section[kSectionChars + 1];        // section of the value being assembled
  char name[kNameChars + 1];                      // name of the key being stored
  char value[kValueChars + 1];                    // value being stored or assembled
  bool continuation_open;                         // the value goes on on the next line
  char keys[kStoreBatch][kComposedKeyChars + 1];  // composed keys of the stores queued
  KeyStore stores[kStoreBatch];                   // stores queued, in input order
  uint32_t lines[kStoreBatch];                    // the input line of each
  Conditional kinds[kStoreBatch];                 // what each directive does to blocks
  uint8_t text_offsets[kStoreBatch];              // where a directive's text begins
                                                  // in its key; 0 for a key
  int queued;                                     // how many of `stores` are in use
  uint32_t line;                                  // the input line being parsed
  uint32_t key_line;                              // the line the last key began on
  bool section_holds_colon;                       // current_section holds a ':'
};

// trim_copy on the `length` bytes at `source` (which need not be terminated
// there); `destination` holds limit + 1 bytes.
void trim_range(char* destination, const char* source, size_t length, int limit) {
  while (length > 0 && text_is_white(*source)) {
    ++source;
    --length;
  }
  size_t take = length < static_cast<size_t>(limit) ? length : static_cast<size_t>(limit);
  while (take > 0 && text_is_white(source[take - 1])) --take;
  std::memcpy(destination, source, take);
  destination[take] = '\0';
}

// Builds "section:name" cut to the composed key's size.
void compose_key(char key[kComposedKeyChars + 1], const char* section, const char* name) {
  size_t used = text_append(key, 0, kComposedKeyChars, section);
  used = text_append(key, used, kComposedKeyChars, ":");
  text_append(key, used, kComposedKeyChars, name);
}

// Carries out the queued stores in input order, tags every entry they
// created with its section's number, for the writer, and notes where each
// stood among the input's blocks. Nothing reads the table before the parse
// ends, so queueing changes nothing but the time the stores take.
void flush_stores(ParseState* state) {
  keytable_store_batch(run.key_table, state->stores, state->queued);
  for (int i = 0; i < state->queued; ++i) {
    const KeyStore& store = state->stores[i];
    if (store.created) store.entry->group = section_index_number(run.sections, store.key);
    block_note_store(&run.blocks, run.key_table, store.number, store.created, state->lines[i],
                     state->kinds[i], state->text_offsets[i]);
  }
  state->queued = 0;
}

// Queues the store of `value` (a copy in value_texts, or null for a
// directive) under section:name: a directive always as a new entry, a key
// in place of the value an equal key held before (left where it is:
// value_texts releases all of them at once).
void store(ParseState* state, const char* section, const char* name, char* value,
           bool is_directive) {
  int i = state->queued++;
  char* key = state->keys[i];
  compose_key(key, section, name);
  state->stores[i] = keystore_ask(key, value, !is_directive);
  // A directive's text is what follows its section and colon, as stored
  // (a section holds at most 32 characters, so some of it always is).
  state->text_offsets[i] = is_directive ? static_cast<uint8_t>(std::strlen(section) + 1) : 0;
  state->kinds[i] =
      is_directive ? conditional_of(key + state->text_offsets[i]) : Conditional::kNone;
  state->lines[i] = is_directive ? state->line : state->key_line;
  // A key written as a conditional directive would be opens or closes
  // blocks in the output (the writer's name part follows the first colon).
  // (Only a header's section can hold a colon, as "[a:#if]" does.)
  if (!is_directive && (name[0] == '#' || state->section_holds_colon)) {
    const char* name_part = std::strchr(key, ':') + 1;
    if (name_part[0] == '#' && conditional_of(name_part) != Conditional::kNone) {
      run.blocks.conditional_keys = true;
    }
  }
  if (parse_store_listener != nullptr) {
    parse_store_listener(key, state->text_offsets[i], value, state->lines[i]);
  }
  if (state->queued == kStoreBatch) flush_stores(state);
}

// Stores a copy of `value` under section:name in place of the value an equal
// key held before; the entry keeps its first key text and place.
void store_value(ParseState* state, const char* section, const char* name, const char* value) {
  store(state, section, name, arena_strdup(&run.value_texts, value), false);
}

// Whether `text` begins as a comment does: ";" or "//".
bool is_comment(const char* text) { return text[0] == ';' || (text[0] == '/' && text[1] == '/'); }

// If `value` ends with a backslash, removes that one backslash and returns
// true: the value continues on the next line.
bool take_continuation_mark(char* value) {
  size_t length = std::strlen(value);
  if (length == 0 || value[length - 1] != '\\') return false;
  value[length - 1] = '\0';
  return true;
}

// A line read while a continuation is open: its trimmed text is appended to
// the value whatever it holds. A final backslash keeps the value open; white
// space before that backslash shrinks to its first character.
void continue_value(ParseState* state, const char* rest) {
  char text[kValueChars + 1];
  trim_copy(text, rest, kValueChars);
  bool goes_on = take_continuation_mark(text);
  if (goes_on) {
    size_t end = std::strlen(text);
    size_t blank = end;  // where the white space before the backslash begins
    while (blank > 0 && text_is_white(text[blank - 1])) --blank;
    if (blank < end) text[blank + 1] = '\0';
  }
  text_append(state->value, std::strlen(state->value), kValueChars, text);
  if (!goes_on) {
    state->continuation_open = false;
    store_value(state, state->pending_section, state->name, state->value);
  }
}

void store_directive(ParseState* state, const char* rest) {
  ++run.directive_count;
  const char* section =
      state->current_section[0] != '\0' ? state->current_section : kTopmostSection;
  store(state, section, rest, nullptr, true);
}

// Stores name and value, or opens a continuation for them: a floating
// key's under its own section (already the pending one), a key under a
// header under the current section.
void store_or_continue(ParseState* state, bool floating) {
  const char* section = floating ? state->pending_section : state->current_section;
  if (!take_continuation_mark(state->value)) {
    store_value(state, section, state->name, state->value);
    return;
  }
  if (!floating) std::memcpy(state->pending_section, section, kSectionChars + 1);
  state->continuation_open = true;
}

// Classifies one piece of a line and acts on it.
void parse_line(ParseState* state, char* line) {
  // Hot: every line of the input (see the benchmark, docs/DEVELOPING.md).
  // Cutting at the first line feed and then at the first carriage return
  // is cutting at the first of either.
  line[std::strcspn(line, "\r\n")] = '\0';
  const char* rest = line;
  while (text_is_white(*rest)) ++rest;

  if (state->continuation_open) {
    continue_value(state, rest);
    return;
  }
  size_t length = std::strlen(rest);
  if (length <= 2) return;
  if (is_comment(rest)) return;
  if (rest[0] == '#') {
    store_directive(state, rest);
    return;
  }

  const char* equals = std::strchr(rest, '=');
  const char* colon = std::strchr(rest, ':');
  if (equals != nullptr && colon != nullptr && equals > colon + 1) {
    ++run.floating_count;
    state->key_line = state->line;
    trim_range(state->pending_section, rest, static_cast<size_t>(colon - rest), kSectionChars);
    trim_range(state->name, colon + 1, static_cast<size_t>(equals - colon - 1), kNameChars);
    trim_copy(state->value, equals + 1, kValueChars);
    store_or_continue(state, true);
    return;
  }

  if (rest[0] == '[') {
    const char* close = std::strchr(rest, ']');
    if (close != nullptr && close - rest >= 2) {
      trim_range(state->current_section, rest + 1, static_cast<size_t>(close - rest - 1),
                 kSectionChars);
      state->section_holds_colon = std::strchr(state->current_section, ':') != nullptr;
      return;
    }
  }
  if (state->current_section[0] == '\0' || equals == nullptr) return;
  state->key_line = state->line;
  trim_range(state->name, rest, static_cast<size_t>(equals - rest), kNameChars);
  trim_copy(state->value, equals + 1, kValueChars);
  store_or_continue(state, false);
}

// Keeps `line` (a piece as read, before parse_line cuts it) in the leading
// comment block if it is a comment from its very first character; returns
// whether it was, that is whether the block goes on.
bool keep_leading_comment(const char* line) {
  if (!is_comment(line)) return false;
  arena_strdup(&run.comments, line);
  return true;
}

}  // namespace

StoreListener parse_store_listener = nullptr;

void trim_copy(char* destination, const char* source, int limit) {
  trim_range(destination, source, std::strlen(source), limit);
}

void parse_config(InputStream stream) {
  ParseState state{};
  char line[kLinePieceChars + 1];
  LineReader reader = line_reader_start(stream);
  // The leading comment block is taken from the same read as the keys: a
  // second read could meet another file, or nothing (a pipe).
  bool leading = true;
  while (line_reader_next(&reader, line)) {
    if (leading) leading = keep_leading_comment(line);
    state.line = reader.line;
    parse_line(&state, line);
  }
  run.had_byte_order_mark = reader.had_byte_order_mark;
  run.crlf = reader.first_line_crlf;
  run.read_error = reader.error;
  // A value still open at the end is kept as assembled so far: dropping it
  // would delete the key from a file that is rewritten in place.
  if (state.continuation_open) {
    store_value(&state, state.pending_section, state.name, state.value);
  }
  flush_stores(&state);
  block_parse_end(&run.blocks, run.directive_count != 0);
}
