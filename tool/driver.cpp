#include "tool/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/safe_output.h"
#include "support/keytable.h"
#include "support/platform.h"
#include "tool/convert.h"
#include "tool/parser.h"
#include "tool/run_state.h"

namespace {

// Build date as "Mmm dd yyyy", the day padded with a space: the compiler's
// own __DATE__ form.
constexpr const char* kBuildDate = KEYFOLDER_BUILD_DATE;

// Input stream buffer in bytes.
constexpr size_t kInputBufferBytes = 1 << 16;

constexpr const char* kHelpText =
    "use this tool to merge floating keys like section:name=value into the more\n"
    "readable [section] name=value format. warning: comments are discarded\n";

// Parses the input and, when it holds a floating key, writes the output.
void convert() {
  FILE* input = std::fopen(run.input_path, "r");
  if (input == nullptr) {
    report_access_error(run.input_path, std::strerror(errno));
    return;
  }
  // Written, such an output would feed the converted text back into the
  // input (and block once a pipe's buffer is full): refused before a read.
  if (safe_output_is_input_stream(run.output_path, input)) {
    std::fclose(input);
    report_access_error(run.output_path,
                        "it is the stream the input is read from; name an output file");
    return;
  }
  // Taken before the first read: any later edit then shows at the output.
  run.input_identity = file_identity_of(input);
  // Fewer, larger reads than the default buffer gives. The runtime would
  // ignore the size with a buffer of its own choosing, so the buffer is
  // ours; it outlives the stream, which is closed below.
  static char buffer[kInputBufferBytes];
  std::setvbuf(input, buffer, _IOFBF, sizeof buffer);
  // The size is a hint only (the file may grow while it is read), and
  // there is none for a pipe.
  if (run.input_identity.known) reserve_for_input(run.input_identity.size);
  parse_config(input);
  // Nothing looks a key up from here on: the writer reads the table in order.
  keytable_drop_index(run.key_table);
  // A stream that opened but could not be read (a directory, an I/O error)
  // must not pass for an empty, clean file.
  bool read_failed = std::ferror(input) != 0;
  std::fclose(input);
  if (read_failed) {
    report_access_error(run.input_path, std::strerror(run.read_error != 0 ? run.read_error : EIO));
  } else {
    convert_parsed();
  }
}

// The run after the banner, by the arguments; its exit status.
int run_arguments(int argc, char** argv) {
  if (argc < 2) {
    std::printf("Usage: %s <arena.conf> [<out.conf>]\n", argc > 0 ? argv[0] : "keyfolder");
    return 2;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::printf("%s", kHelpText);
    return 0;
  }
  run_begin(argv[1], argc == 3 ? argv[2] : argv[1]);
  convert();
  run_end();
  return run.status;
}

}  // namespace

int run_keyfolder(int argc, char** argv) {
  std::printf("keyfolder v%s %s %s\n", kVersion, kBuildDate, kCredit);
  int status = run_arguments(argc, argv);
  // Messages that never reached standard output are a failure the caller
  // must hear of; a converted file stays as written.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "keyfolder: standard output: %s\n", std::strerror(errno));
    if (status == 0) status = 1;
  }
  return status;
}
