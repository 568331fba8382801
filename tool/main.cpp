// keyfolder: gathers floating keys of an arena configuration file under
// their [section] headers. See README.md.
#include <cstdlib>  // first: defines __GLIBC__ on glibc systems
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "support/platform.h"
#include "tool/driver.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Writing frees a small block per key (its value; the table's entries go
  // with their large blocks). glibc parks such blocks in its fast bins and
  // merges them all at the next large release, one pass over cold memory;
  // without fast bins each is merged as it is freed, while still in the
  // cache. perf put that one pass at about 15 % of a run on a million keys
  // when entries were freed one by one too; with values alone, the two
  // ways now measure the same.
  mallopt(M_MXFAST, 0);
#endif
  ArgList args = args_expand(argc, argv);
  int status = run_keyfolder(args.count, args.items);
  args_release(&args);
  return status;
}
