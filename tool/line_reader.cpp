#include "tool/line_reader.h"

#include <cstring>

namespace {

constexpr unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

LineReader line_reader_start(FILE* stream) {
  LineReader reader{stream, {}, 0, false};
  // Read the mark byte by byte; at the first byte that does not match, push
  // that one back (one byte of push-back is all a stream promises) and hold
  // the matching bytes before it for the first piece.
  for (int i = 0; i < 3; ++i) {
    int c = std::fgetc(stream);
    if (c != kMark[i]) {
      if (c != EOF) std::ungetc(c, stream);
      return reader;
    }
    reader.held[reader.held_count++] = static_cast<char>(c);
  }
  reader.held_count = 0;
  reader.had_byte_order_mark = true;
  return reader;
}

bool line_reader_next(LineReader* reader, char line[kLinePieceChars + 1]) {
  if (reader->held_count == 0) {
    return std::fgets(line, kLinePieceChars + 1, reader->stream) != nullptr;
  }
  // The held bytes (EF, or EF BB) are no line feed, so the piece goes on.
  int held = reader->held_count;
  reader->held_count = 0;
  std::memcpy(line, reader->held, static_cast<size_t>(held));
  line[held] = '\0';
  if (std::fgets(line + held, kLinePieceChars + 1 - held, reader->stream) == nullptr) {
    line[held] = '\0';
  }
  return true;
}
