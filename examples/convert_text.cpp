// The conversion as a call: a text held in memory, converted; its output
// and the lines the block check names, printed.
#include <cstdio>
#include <ctime>

#include "tool/convert.h"

int main() {
  const char text[] = "[Misc]\n#ifdef LEAGUE\nX=1\n#endif\nY=2\nWarbird:Speed=2400\n";
  Conversion c = convert_text(text, sizeof text - 1, "arena.conf", std::time(nullptr));
  if (!c.clean) std::fwrite(c.output, 1, c.output_size, stdout);
  block_findings_print(&c.findings, "arena.conf", stdout);
  conversion_free(&c);
}
