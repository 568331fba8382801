// keyfolder: gathers floating keys of an arena configuration file under
// their [section] headers. See README.md.
#include "tool/driver.h"

int main(int argc, char** argv) { return run_keyfolder(argc, argv); }
