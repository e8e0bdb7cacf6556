#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/temp_dir.h"

namespace apptest {

// The shared temporary directory, named the way these tests use it.
class TempDir {
 public:
  // The directory with a trailing '/', as ProgramDir gives it.
  std::string Dir() const { return dir_.Path() + "/"; }
  std::string Path(const std::string& name) const { return Dir() + name; }

 private:
  testsupport::TempDir dir_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace apptest
