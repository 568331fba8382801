#include "tool/line_reader.h"

#include <cerrno>
#include <cstring>

namespace {

// fgets on the stream: at most `size` - 1 bytes, up to and with a line
// feed, terminated; null when the stream ends before a byte is read.
char* stream_gets(InputStream* stream, char* line, int size) {
  if (stream->file != nullptr) return std::fgets(line, size, stream->file);
  size_t room = static_cast<size_t>(size - 1);
  size_t left = stream->size - stream->at;
  // As a file's read: one that stops short of the room and of a line feed
  // has met the end.
  if (left == 0) {
    stream->ended = true;
    return nullptr;
  }
  const char* from = stream->bytes + stream->at;
  size_t take = left < room ? left : room;
  const auto* feed = static_cast<const char*>(std::memchr(from, '\n', take));
  if (feed != nullptr) {
    take = static_cast<size_t>(feed - from) + 1;
  } else if (left < room) {
    stream->ended = true;
  }
  std::memcpy(line, from, take);
  line[take] = '\0';
  stream->at += take;
  return line;
}

// fgetc and ungetc (of the byte just read) on the stream.
int stream_getc(InputStream* stream) {
  if (stream->file != nullptr) return std::fgetc(stream->file);
  if (stream->at == stream->size) {
    stream->ended = true;
    return EOF;
  }
  return static_cast<unsigned char>(stream->bytes[stream->at++]);
}
void stream_ungetc(InputStream* stream, int c) {
  if (stream->file != nullptr) {
    std::ungetc(c, stream->file);
  } else {
    --stream->at;
  }
}

bool stream_ended(const InputStream* stream) {
  return stream->file != nullptr ? std::feof(stream->file) != 0 : stream->ended;
}
bool stream_failed(const InputStream* stream) {
  return stream->file != nullptr && std::ferror(stream->file) != 0;
}

// Reads the next piece of the stream as fgets does, the held bytes first.
bool read_piece(LineReader* reader, char line[kLinePieceChars + 1]) {
  if (reader->held_count == 0) {
    return stream_gets(&reader->stream, line, kLinePieceChars + 1) != nullptr;
  }
  // The held bytes (EF, or EF BB) are no line end, so the piece goes on.
  int held = reader->held_count;
  reader->held_count = 0;
  std::memcpy(line, reader->held, static_cast<size_t>(held));
  line[held] = '\0';
  if (stream_gets(&reader->stream, line + held, kLinePieceChars + 1 - held) == nullptr) {
    line[held] = '\0';
  }
  return true;
}

// Ends `line` (`length` characters) after its first run of carriage
// returns when text other than a line feed follows them in the piece,
// keeping that text for the next read. Returns the piece's length now;
// `*has_return` tells whether it holds a carriage return.
size_t split_at_lone_return(LineReader* reader, char* line, size_t length, bool* has_return) {
  auto* end = static_cast<char*>(std::memchr(line, '\r', length));
  *has_return = end != nullptr;
  if (end == nullptr) return length;
  end += std::strspn(end, "\r");
  if (*end == '\n' || *end == '\0') return length;
  std::memcpy(reader->rest, end, length - static_cast<size_t>(end - line) + 1);
  reader->has_rest = true;
  *end = '\0';
  return static_cast<size_t>(end - line);
}

// Notes, at the stream's first line feed, whether a CR stands before it.
// `line` is a piece just read into a buffer that held no line feed before
// the read: the first line feed in the whole buffer is the one the read
// stopped at, even behind a NUL byte that ends the piece's text early.
void note_first_line_end(LineReader* reader, const char* line) {
  const auto* feed = static_cast<const char*>(std::memchr(line, '\n', kLinePieceChars + 1));
  if (feed == nullptr) {
    // A piece without one is full (or the stream ends): its last byte
    // stands before whatever the next piece begins with.
    reader->last_byte = line[kLinePieceChars - 1];
    return;
  }
  reader->met_line_feed = true;
  reader->first_line_crlf = (feed > line ? feed[-1] : reader->last_byte) == '\r';
}

// Notes the line ends a NUL byte hides from the piece just read: its text
// then stops short of a full piece without a line feed although the stream
// goes on. The read itself went on to the line feed it stopped at (the
// first one behind the text: fgets stops at the first) or to a full piece.
void note_hidden_ends(LineReader* reader, const char* line, size_t length) {
  if (length >= static_cast<size_t>(kLinePieceChars) || (length > 0 && line[length - 1] == '\n') ||
      stream_ended(&reader->stream)) {
    return;
  }
  const auto* feed =
      static_cast<const char*>(std::memchr(line + length, '\n', kLinePieceChars - length));
  size_t end = feed != nullptr ? static_cast<size_t>(feed - line) + 1 : kLinePieceChars;
  LineCount hidden{0, '\0'};
  line_count_feed(&hidden, line + length, end - length);
  reader->hidden_ends = hidden.ends;
  reader->hidden_last = hidden.last;
  reader->hidden = true;
}

// Sets the line on which `line`, the piece about to be returned (`length`
// characters, a carriage return among them when `has_return`), begins, and
// counts its line ends (with the hidden ones of its read when it is that
// read's last piece).
void count_piece(LineReader* reader, const char* line, size_t length, bool has_return) {
  reader->line = reader->count.ends + 1;
  if (length > 0 && !has_return) {
    // Without a carriage return only the last byte can end the line.
    char last = line[length - 1];
    if (last == '\n' && (length > 1 || reader->count.last != '\r')) ++reader->count.ends;
    reader->count.last = last;
  } else {
    line_count_feed(&reader->count, line, length);
  }
  if (reader->hidden && !reader->has_rest) {
    reader->count.ends += reader->hidden_ends;
    reader->count.last = reader->hidden_last;
    reader->hidden = false;
  }
}

}  // namespace

void line_count_feed(LineCount* count, const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if ((bytes[i] == '\r' || bytes[i] == '\n') && count->last != '\r') ++count->ends;
    count->last = bytes[i];
  }
}

LineReader line_reader_start(InputStream stream) {
  LineReader reader{};
  reader.stream = stream;
  // Read the mark byte by byte; at the first byte that does not match, push
  // that one back (one byte of push-back is all a stream promises) and hold
  // the matching bytes before it for the first piece.
  for (int i = 0; i < 3; ++i) {
    int c = stream_getc(&reader.stream);
    if (c == EOF && stream_failed(&reader.stream)) reader.error = errno;
    if (c != static_cast<unsigned char>(kByteOrderMark[i])) {
      if (c != EOF) stream_ungetc(&reader.stream, c);
      return reader;
    }
    reader.held[reader.held_count++] = static_cast<char>(c);
  }
  reader.held_count = 0;
  reader.had_byte_order_mark = true;
  return reader;
}

bool line_reader_next(LineReader* reader, char line[kLinePieceChars + 1]) {
  size_t length = 0;
  if (reader->has_rest) {
    reader->has_rest = false;
    length = std::strlen(reader->rest);
    std::memcpy(line, reader->rest, length + 1);
  } else {
    if (!reader->met_line_feed) std::memset(line, 0, kLinePieceChars + 1);
    if (!read_piece(reader, line)) {
      if (stream_failed(&reader->stream) && reader->error == 0) reader->error = errno;
      return false;
    }
    if (!reader->met_line_feed) note_first_line_end(reader, line);
    length = std::strlen(line);
    note_hidden_ends(reader, line, length);
  }
  bool has_return = false;
  length = split_at_lone_return(reader, line, length, &has_return);
  count_piece(reader, line, length, has_return);
  return true;
}
