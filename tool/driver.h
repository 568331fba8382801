// The run from start to end: command line, banner, parse, write, clean-up.
//
// Takes the argument vector as the program received it (wildcards already
// expanded) and returns the exit status: 0 for a run that got past the
// argument check, 1 when a file, or standard output, could not be read or
// written, 2 for the usage line. Memory exhaustion ends the process with 3
// (util_fatal).
#pragma once

// Runs the tool once. The arguments must outlive the call; the process-wide
// state is reset at the start, so runs may follow each other in one process.
int run_keyfolder(int argc, char** argv);
