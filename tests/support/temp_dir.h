#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory (mkdtemp), removed with everything in it when the object
// goes, read-only subdirectories included.
class TempDir {
 public:
  // Throws std::runtime_error when none can be made.
  explicit TempDir(const std::string& prefix = "mcalld-test", const std::string& parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // With the trailing '/', the way the program's own directories end.
  std::string Dir() const { return path_ + "/"; }
  std::string File(const std::string& name) const { return Dir() + name; }
  // Names of what the directory holds, sorted.
  std::vector<std::string> Files() const;

 private:
  std::string path_;
};

// Byte for byte: settings, logs and spool files are Windows-1251, never text.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace testsupport
