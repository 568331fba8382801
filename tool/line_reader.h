// Reading a configuration file in the pieces the format is defined on.
//
// Each read gives at most 383 characters, with the line feed if it fits, so
// a longer physical line arrives as several pieces. A line ends at a line
// feed, and also at a carriage return (or a run of them) that no line feed
// follows: files with classic lone-CR line ends are read line by line rather
// than as one line cut at its first CR, which would lose every key after it.
// The ends stay in the piece, as read. A UTF-8 byte-order mark
// at the very start of the stream is taken off before the first piece (and
// remembered, so the writer can put it back), and so is whether the first
// line ends in CR LF (so the writer can end its own lines alike). The
// stream stays the caller's: an open file, or bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Characters in one piece of a line, without terminator.
constexpr int kLinePieceChars = 383;

// The UTF-8 byte-order mark: EF BB BF.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Line ends in a run of bytes as the reader splits lines: a line feed, a run
// of carriage returns, or such a run and the line feed right after it, each
// one end. Bytes are fed in order, in as many calls as they come.
struct LineCount {
  uint32_t ends;  // line ends so far
  char last;      // the byte fed last ('\0' before any)
};
void line_count_feed(LineCount* count, const char* bytes, size_t length);

// What the reader reads: an open file, or bytes in memory, which read as a
// file of those bytes does on Linux, NUL bytes and all (no text-mode
// translation of line ends or Ctrl-Z, which only the Windows runtime makes).
struct InputStream {
  FILE* file;          // the file, not owned; null: `bytes`
  const char* bytes;   // the text, not owned
  size_t size;         // bytes of the text
  size_t at;           // bytes of the text read so far
  bool ended;          // a read of the text met its end
};
inline InputStream input_stream_of_file(FILE* file) { return InputStream{file, nullptr, 0, 0, false}; }
inline InputStream input_stream_of_text(const char* bytes, size_t size) {
  return InputStream{nullptr, bytes, size, 0, false};
}

struct LineReader {
  InputStream stream;    // the input (a file stays the caller's)
  char held[3];          // bytes read while looking for a mark that was not one
  int held_count;        // how many of `held` still precede the stream
  bool had_byte_order_mark;  // the stream began with EF BB BF
  char rest[kLinePieceChars + 1];  // text after a lone CR, the next piece
  bool has_rest;                   // `rest` is waiting to be returned
  int error;                       // errno of the read that failed, 0 for none
  bool met_line_feed;              // a piece with a line feed has been read
  bool first_line_crlf;            // the byte before the first line feed is a CR
  char last_byte;                  // the last byte read before that line feed
  uint32_t line;                   // the physical line (from 1) on which the
                                   // piece last returned begins
  LineCount count;                 // line ends in the bytes returned so far
  uint32_t hidden_ends;            // line ends behind a NUL byte in the last
  char hidden_last;                // read (its last byte), which its last
  bool hidden;                     // piece passes over unseen: counted with it
};

// Starts reading `stream` at its beginning, taking off a byte-order mark.
LineReader line_reader_start(InputStream stream);

// Reads the next piece into `line` (kLinePieceChars + 1 bytes), as fgets
// does. Returns false at the end of the stream or on a read error (tell them
// apart with ferror on a file; `error` then holds the system's error
// number; bytes in memory always read whole).
bool line_reader_next(LineReader* reader, char line[kLinePieceChars + 1]);
