#pragma once

#include <string>
#include <string_view>

namespace common {

// Writes every byte of data to fd, going on after short writes and EINTR.
// False at the first write that fails or writes nothing.
bool WriteAll(int fd, std::string_view data);

// The directory part of a path: everything before its last '/', "/" for a
// file in the root, "." for a bare name. A prefix such as "/var/spool/ev_"
// gives "/var/spool".
std::string DirectoryOf(const std::string& path);

// Flushes a directory's entries to disk, which a rename or a new file needs
// before it survives a power cut. False when the directory cannot be opened
// or flushed.
bool SyncDirectory(const std::string& dir);

}  // namespace common
