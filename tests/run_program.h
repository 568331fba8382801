// Helpers for end-to-end tests: run a program as a child process and look at
// the files it leaves behind.
//
// run_program forks, applies the requested limits in the child, runs the
// program with its standard output and error sent to files, and waits. A
// child that runs away is stopped by a CPU-time limit, so a hang fails the
// test instead of stalling the suite.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

struct ProgramResult {
  int status;       // exit status, or -1 when a signal ended the program
  int signal;       // the signal that ended it, or 0
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

struct ProgramOptions {
  std::vector<std::string> environment;  // extra "NAME=value" settings
  bool limited = false;                  // lower `resource` to `limit`
  decltype(RLIMIT_AS) resource = RLIMIT_AS;  // the RLIMIT_ to lower
  rlim_t limit = 0;                      // its new soft and hard value
};

// Runs `binary` with `arguments` (argument zero is added) and returns how it
// ended. SIGXFSZ is ignored in the child, so an exceeded file-size limit
// shows as a failing write.
ProgramResult run_program(const std::string& binary, const std::vector<std::string>& arguments,
                          const ProgramOptions& options = ProgramOptions{});

// A fresh directory, removed with everything in it when the value goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole file contents as bytes; `*exists` (when given) tells a missing file
// from an empty one.
std::string read_file(const std::string& path, bool* exists = nullptr);
void write_file(const std::string& path, const std::string& bytes);

// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_directory(const std::string& path);
