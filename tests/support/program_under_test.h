#pragma once

// The built program in a temporary directory of its own, started there on
// the offscreen platform as the end-to-end tests start it. The test target
// names the program to copy in MCALLD_BINARY.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/program_peers.h"

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

// Root ignores file modes, so a read-only directory would not be read-only
// for the program. Without these two capabilities in its bounding set, an
// exec'd program running as root gets them neither, and the owner's mode
// bits hold for it as for anyone.
inline void DropFileOverride() {
  if (::geteuid() != 0) return;
  constexpr int kDacOverride = 1;    // CAP_DAC_OVERRIDE
  constexpr int kDacReadSearch = 2;  // CAP_DAC_READ_SEARCH
  ::prctl(PR_CAPBSET_DROP, kDacOverride, 0, 0, 0);
  ::prctl(PR_CAPBSET_DROP, kDacReadSearch, 0, 0, 0);
}

// Whether a directory with mode 0555 really refuses the program a new file.
inline bool ReadOnlyHolds(const fs::path& dir) {
  const fs::path probe = dir / "read-only-probe";
  fs::create_directory(probe);
  ::chmod(probe.c_str(), 0555);
  const pid_t pid = ::fork();
  if (pid == 0) {
    DropFileOverride();
    const std::string file = (probe / "x").string();
    char* argv[] = {const_cast<char*>("/usr/bin/touch"), const_cast<char*>(file.c_str()), nullptr};
    ::execve(argv[0], argv, environ);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::chmod(probe.c_str(), 0755);
  std::error_code ignored;
  fs::remove_all(probe, ignored);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

class Program {
 public:
  Program() {
    char pattern[] = "/tmp/mcalld-program-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    fs::copy_file(MCALLD_BINARY, dir_ / "mcalld");
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored))
      if (entry.is_directory(ignored)) ::chmod(entry.path().c_str(), 0755);
    fs::remove_all(dir_, ignored);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  const fs::path& Dir() const { return dir_; }

  void WriteSettings(const std::string& bytes) {
    std::ofstream out(dir_ / "mcalld.ini", std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  bool Start() {
    const std::string program = (dir_ / "mcalld").string();
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      DropFileOverride();
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      ::execve(program.c_str(), argv, environ);
      ::_exit(127);
    }
    return true;
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitStatus_ = Decode(status);
    pid_ = -1;
    return false;
  }

  // Sends SIGTERM; the exit status, or -1 when the program did not end in time.
  int Terminate(std::chrono::milliseconds limit = 10s) {
    if (!Running()) return exitStatus_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
    pid_ = -1;
    exitStatus_ = Decode(status);
    return exitStatus_;
  }

  std::string ReadText(const fs::path& relative) const {
    std::ifstream in(dir_ / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Everything the daily system logs hold, whatever the day.
  std::string SystemLogs() const {
    std::string all;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored))
      if (entry.path().extension() == ".lgs") all += ReadText(fs::relative(entry.path(), dir_));
    return all;
  }

 private:
  static int Decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

  fs::path dir_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

}  // namespace testsupport
