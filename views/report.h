#pragma once
// The packet report file: the selected row's fields and what the two detail
// views hold, as UTF-8 text without byte-order mark, CR LF after every line.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "views/hex_view.h"

namespace wirelens {

inline constexpr std::string_view kReportLineEnd = "\r\n";
inline constexpr std::string_view kReportTextHeading =
    "------------------------------ Text ------------------------------";
inline constexpr std::string_view kReportHexHeading =
    "----------------------- Hex ------------------- | -----Ascii -----";

// The texts of one packet list row, copied into the report unchanged.
struct PacketRowTexts {
    std::string protocol;   // row text
    std::string srcAddr;    // sub-item 1
    std::string srcPort;    // sub-item 2
    std::string destAddr;   // sub-item 3
    std::string destPort;   // sub-item 4
    std::string length;     // sub-item 5, "Length (Bytes)"
    std::string startTime;  // sub-item 6
};

// One report line for a hex-view row, without the line end: cell 0 and a
// space, then for cells 1 to 17 three spaces when empty, else the text and a
// space. With two-character byte cells the bar lands on the 49th character.
std::string BuildHexLine(const HexViewCells& cells);

// The whole report. textViewContent is txtData's content exactly as held
// (its own CR LF pairs included); hexRows are ListViewHEX's rows in order.
std::string BuildReport(const PacketRowTexts& row, std::string_view textViewContent,
                        std::span<const HexViewCells> hexRows);

// Writes content to path, replacing any file of that name. The bytes go to a
// temporary file in the same folder which then takes the name, so a failed
// save leaves any earlier file as it was and no partial report. When path
// names a link or a character device, or the folder
// takes no new file but the existing file is writable, the file is rewritten
// in place instead, without blocking, every write and the close checked. A
// FIFO, a socket, a folder or a block device (or a link to one) is refused.
// Returns nothing on success, otherwise a text saying what failed and the
// system's reason.
std::optional<std::string> WriteReportFile(const std::string& path, std::string_view content);

}  // namespace wirelens
