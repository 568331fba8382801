#include "run_program.h"

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

namespace {

// CPU seconds a child may use; the slowest hostile input needs a few.
constexpr rlim_t kCpuSecondsPerChild = 120;

std::string read_stream(FILE* stream) {
  std::string text;
  std::rewind(stream);
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  return text;
}

void remove_tree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    for (const std::string& name : list_directory(path)) remove_tree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

ProgramResult run_program(const std::string& binary, const std::vector<std::string>& arguments,
                          const ProgramOptions& options) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) std::abort();
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    std::signal(SIGXFSZ, SIG_IGN);
    for (const std::string& setting : options.environment) putenv(strdup(setting.c_str()));
    struct rlimit cpu {kCpuSecondsPerChild, kCpuSecondsPerChild};
    setrlimit(RLIMIT_CPU, &cpu);
    if (options.limited) {
      struct rlimit limit {options.limit, options.limit};
      setrlimit(options.resource, &limit);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  ProgramResult result{-1, 0, read_stream(out), read_stream(err)};
  std::fclose(out);
  std::fclose(err);
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  return result;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/keyfolder-test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

std::string read_file(const std::string& path, bool* exists) {
  FILE* stream = std::fopen(path.c_str(), "rb");
  if (exists != nullptr) *exists = stream != nullptr;
  if (stream == nullptr) return std::string();
  std::string text = read_stream(stream);
  std::fclose(stream);
  return text;
}

void write_file(const std::string& path, const std::string& bytes) {
  FILE* stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fclose(stream);
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
