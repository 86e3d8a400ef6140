#pragma once
// Texts of list rows for the clipboard and for export: tab-separated text,
// CSV (RFC 4180), data bytes as hex.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wirelens {

// The cells joined by tabs.
std::string RowTextLine(const std::vector<std::string>& cells);
// The cells as one CSV record without the line end; a cell holding a comma,
// a quote or a line break is quoted, its quotes doubled.
std::string CsvLine(const std::vector<std::string>& cells);
// "41 0a ff": two lower-case digits per byte, separated by spaces.
std::string HexByteText(std::span<const std::uint8_t> bytes);
// "12 of 340 packets listed", shown while a display filter hides packets.
std::string ListedOfTotalText(std::int64_t listed, std::int64_t total);

}  // namespace wirelens
