#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace modem {

// Lines a modem sends of its own accord, not in answer to a command: the
// ring, registration and signal reports, the greetings after a restart.
//   \r\n^RSSI:25\r\n   \r\nRING\r\n   \r\n+CMTI: "SM",3\r\n   \r\nCall Ready\r\n
// A caller-identification line is one too: the reply handling looks for a
// call before it asks this.
bool IsUnsolicitedLine(std::string_view line);

// True when the block holds at least one unsolicited line and nothing else
// but line ends and blanks: it answers no command.
bool OnlyUnsolicited(std::string_view block);

// The block with its unsolicited lines taken out, so that the line of a
// reply is found where it would be without them.
std::string WithoutUnsolicited(std::string_view block);

// A block is cut wherever 200 ms pass on the line, also inside a
// caller-identification line. Where the block's last line is such a line
// without its line end yet, or the start of its "+CLIP:" tag, this is where
// that line starts; the rest of it is still on its way.
//   \r\nRING\r\n\r\n+CLIP: "+7916       ->  the offset of "+CLIP:"
//   \r\nRING\r\n\r\n+CL                 ->  the offset of "+CL"
std::optional<size_t> UnfinishedCallerIdStart(std::string_view block);

}  // namespace modem
