#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

void remove_tree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat info {};
      if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        chmod(child.c_str(), 0700);
        remove_tree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

}  // namespace

ToolDir::ToolDir() {
  char pattern[] = "/tmp/keyfolder-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ToolDir::~ToolDir() { remove_tree(path_); }

void ToolDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream stream(file(name), std::ios::binary);
  stream << bytes;
}

std::string ToolDir::read(const std::string& name) const {
  std::ifstream stream(file(name), std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

bool ToolDir::exists(const std::string& name) const {
  struct stat info {};
  return lstat(file(name).c_str(), &info) == 0;
}

std::vector<std::string> ToolDir::listing() const {
  std::vector<std::string> names;
  DIR* dir = opendir(path_.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

ToolResult run_tool(const ToolDir& dir, const std::vector<std::string>& args, ChildLimit limit) {
  return run_binary(KEYFOLDER_BINARY, dir, args, {}, limit);
}

ToolResult run_binary(const std::string& binary, const ToolDir& dir,
                      const std::vector<std::string>& args,
                      const std::vector<std::string>& environment, ChildLimit limit) {
  // CPU seconds a child may use; the slowest hostile input needs a few.
  constexpr rlim_t kCpuSeconds = 120;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(dir.path().c_str()) != 0) _exit(125);
    for (const std::string& setting : environment) putenv(strdup(setting.c_str()));
    struct rlimit cpu {
      kCpuSeconds, kCpuSeconds
    };
    setrlimit(RLIMIT_CPU, &cpu);
    if (limit.resource >= 0) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit fails instead
      struct rlimit value {
        limit.value, limit.value
      };
      setrlimit(limit.resource, &value);
    }
    std::vector<char*> argv;
    std::string program = binary;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(126);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Standard error is small; read stdout fully first, then stderr.
  ToolResult result;
  result.out = read_to_end(out_pipe[0]);
  result.err = read_to_end(err_pipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ToolRun::ToolRun(const ToolDir& dir, const std::vector<std::string>& args,
                 const std::string& moment, uid_t user, std::vector<std::string> environment,
                 int in, int out) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> command;
  if (user != 0) {
    command = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user),
               "--regid=" + std::to_string(user), "--clear-groups"};
  }
  command.push_back(KEYFOLDER_FAULTY_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  if (!moment.empty()) environment.push_back("KEYFOLDER_PAUSE_AT=" + moment);
  child_ = fork();
  if (child_ == 0) {
    dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);
    dup2(out >= 0 ? out : out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(dir.path().c_str()) != 0) _exit(125);
    for (const std::string& setting : environment) putenv(strdup(setting.c_str()));
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(126);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_ = out_pipe[0];
  err_ = err_pipe[0];
}

bool ToolRun::stopped() {
  int status = 0;
  return waitpid(child_, &status, WUNTRACED) == child_ && WIFSTOPPED(status);
}

void ToolRun::send(int signal_number) const { kill(child_, signal_number); }

ToolResult ToolRun::finish() {
  kill(child_, SIGCONT);
  ToolResult result{read_to_end(out_), read_to_end(err_), -1};
  int status = 0;
  waitpid(child_, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

std::string version_pattern() {
  std::string pattern;
  for (char c : std::string(KEYFOLDER_VERSION)) {
    if (c == '.') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

bool is_banner(const std::string& line) {
  static const std::regex banner("keyfolder v" + version_pattern() +
                                 " [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} "
                                 "Lanternfold Tools <keyfolder@example\\.org>\n");
  return std::regex_match(line, banner);
}

bool is_stamp_line(const std::string& line) {
  static const std::regex stamp(
      "; keyfolder'd on (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} "
      "\\(v" +
      version_pattern() + " Lanternfold Tools <keyfolder@example\\.org>\\)\n");
  return std::regex_match(line, stamp);
}

std::string first_line(const std::string& text) {
  size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end + 1);
}

std::string after_first_line(const std::string& text) {
  return text.substr(first_line(text).size());
}

std::string read_fixture(const std::string& name) {
  std::ifstream stream(std::string(KEYFOLDER_TEST_DATA) + "/" + name, std::ios::binary);
  if (!stream) throw std::runtime_error("missing fixture " + name);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}
