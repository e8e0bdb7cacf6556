#pragma once

// The built program in a temporary directory of its own, started there on
// the offscreen platform, as the end-to-end and fault tests and the
// benchmark run it.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

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

// Files of the test put over system files (a resolver's settings, say) for
// one process only: in a mount namespace of its own, where the bind mounts
// are private to it. Called in a child between fork and exec, so it makes
// system calls only; false when it cannot (no CAP_SYS_ADMIN).
using FileReplacements = std::vector<std::pair<std::string, std::string>>;  // {system file, ours}
inline bool ReplaceFilesForThisProcess(const FileReplacements& files) {
  if (files.empty()) return true;
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  for (const auto& [system, ours] : files) {
    if (::mount(ours.c_str(), system.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  }
  return true;
}

// Whether ReplaceFilesForThisProcess works here, tried in a child.
inline bool FilesCanBeReplaced(const FileReplacements& files) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(ReplaceFilesForThisProcess(files) ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
  struct Options {
    // Where the program's own output goes, relative to its directory; empty:
    // the test's output, where a sanitizer's report is seen.
    std::string outputFile;
    // NAME=VALUE entries put into the program's environment.
    std::vector<std::string> environment;
  };

  explicit Program(const fs::path& binary, Options options = {})
      : dir_("mcalld-program"), options_(std::move(options)) {
    fs::copy_file(binary, Dir() / "mcalld");
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  fs::path Dir() const { return dir_.Path(); }
  pid_t Pid() const { return pid_; }

  void WriteSettings(const std::string& bytes) const { WriteFile(dir_.File("mcalld.ini"), bytes); }

  // The program sees ours in place of the system file (FilesCanBeReplaced
  // tells whether that works here); for the next Start.
  void ReplaceSystemFile(const std::string& system, const std::string& ours) { replaced_.emplace_back(system, ours); }

  bool Start() {
    const std::string program = (Dir() / "mcalld").string();
    const std::string output = options_.outputFile.empty() ? "" : (Dir() / options_.outputFile).string();
    // Made before the fork: the child of a process with threads may only
    // make system calls until it has exec'd.
    std::string platform = "QT_QPA_PLATFORM=offscreen";
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).rfind("QT_QPA_PLATFORM=", 0) == 0) platform = *e;
      else env.push_back(*e);
    }
    env.push_back(platform.data());
    std::vector<std::string> extra = options_.environment;
    for (std::string& e : extra) env.push_back(e.data());
    env.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (!ReplaceFilesForThisProcess(replaced_)) ::_exit(125);
      DropFileOverride();
      if (::chdir(dir_.Path().c_str()) != 0) ::_exit(126);
      if (!output.empty()) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
      }
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      ::execve(program.c_str(), argv, env.data());
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
  int Terminate(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (!Running()) return exitStatus_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
    pid_ = -1;
    exitStatus_ = Decode(status);
    return exitStatus_;
  }

  std::string ReadText(const fs::path& relative) const { return ReadFile((Dir() / relative).string()); }

  // Everything the daily system logs hold, whatever the day.
  std::string SystemLogs() const {
    std::string all;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(Dir(), ignored))
      if (entry.path().extension() == ".lgs") all += ReadFile(entry.path().string());
    return all;
  }

 private:
  static int Decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

  TempDir dir_;
  Options options_;
  FileReplacements replaced_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

}  // namespace testsupport
