// Running the built keyfolder binary from tests, in a private directory.
//
// ToolDir makes a fresh temporary directory and removes it afterwards;
// run_tool forks and executes the binary there, with optional resource
// limits, and gives back its standard output, standard error and status.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct ToolResult {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  int status;       // exit status, or 128 + signal number
};

// Resource limit to apply in the child before exec (resource < 0: none).
struct ChildLimit {
  int resource = -1;
  rlim_t value = 0;
};

class ToolDir {
 public:
  ToolDir();
  ~ToolDir();
  ToolDir(const ToolDir&) = delete;
  ToolDir& operator=(const ToolDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Names in the directory, sorted, without "." and "..".
  std::vector<std::string> listing() const;

 private:
  std::string path_;
};

// Runs keyfolder with `args` (argument zero is added) in `dir`.
ToolResult run_tool(const ToolDir& dir, const std::vector<std::string>& args,
                    ChildLimit limit = {});

// The same for any program, with extra "NAME=value" environment settings.
// Every child runs under a CPU-time limit, so a hang fails the test instead
// of stalling the suite.
ToolResult run_binary(const std::string& binary, const ToolDir& dir,
                      const std::vector<std::string>& args,
                      const std::vector<std::string>& environment, ChildLimit limit = {});

// A run of the test build of the program (keyfolder_faulty) in `dir`, as
// `user` when not 0 (through setpriv), with standard input `in` and
// standard output `out` (-1: pipes of its own), stopped where it reaches
// `moment` (KEYFOLDER_PAUSE_AT, see support/fault_injection.h) unless that
// is empty, so that a test can act there and then let it go on.
class ToolRun {
 public:
  ToolRun(const ToolDir& dir, const std::vector<std::string>& args, const std::string& moment,
          uid_t user = 0, std::vector<std::string> environment = {}, int in = -1, int out = -1);

  // Waits until the run stops at its moment; false if it ended instead.
  bool stopped();

  // Sends `signal_number`, which waits while the run is stopped.
  void send(int signal_number) const;

  // Lets the run go on to its end: what it printed and its status (128 +
  // the signal that ended it).
  ToolResult finish();

 private:
  pid_t child_ = -1;
  int out_ = -1;
  int err_ = -1;
};

// Everything `fd` gives until its end; closes it.
std::string read_to_end(int fd);

// The program's version (KEYFOLDER_VERSION) as a regular expression that
// matches it literally.
std::string version_pattern();

// The banner line the binary prints first, date part matched loosely.
bool is_banner(const std::string& line);

// A stamp line of the program's version, with its line feed.
bool is_stamp_line(const std::string& line);

// Splits off the first line (with its line feed) of `text`.
std::string first_line(const std::string& text);
std::string after_first_line(const std::string& text);

// Reads a fixture from tests/data.
std::string read_fixture(const std::string& name);
