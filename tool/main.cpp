// keyfolder: gathers floating keys of an arena configuration file under
// their [section] headers. See README.md.
#include "support/platform.h"
#include "tool/driver.h"

int main(int argc, char** argv) {
  ArgList args = args_expand(argc, argv);
  int status = run_keyfolder(args.count, args.items);
  args_release(&args);
  return status;
}
