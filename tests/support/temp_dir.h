#pragma once

#include <string>

namespace testsupport {

// A fresh directory under /tmp (mkdtemp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();  // throws std::runtime_error when none can be made
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testsupport
