// Running the built keyfolder binary from tests, in a private directory.
//
// ToolDir makes a fresh temporary directory and removes it afterwards;
// run_tool forks and executes the binary there, with optional resource
// limits, and gives back its standard output, standard error and status.
#pragma once

#include <sys/resource.h>

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

// Everything `fd` gives until its end; closes it.
std::string read_to_end(int fd);

// The program's version (KEYFOLDER_VERSION) as a regular expression that
// matches it literally.
std::string version_pattern();

// The banner line the binary prints first, date part matched loosely.
bool is_banner(const std::string& line);

// Splits off the first line (with its line feed) of `text`.
std::string first_line(const std::string& text);
std::string after_first_line(const std::string& text);

// Reads a fixture from tests/data.
std::string read_fixture(const std::string& name);
