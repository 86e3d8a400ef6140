#pragma once
// The two detail views of a clicked packet, computed without any widget:
// the hex|ascii rows of ListViewHEX and the text of txtData. All texts are UTF-8.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wirelens {

class RawDatagramStore;

inline constexpr int kHexBytesPerRow = 16;
// Columns of ListViewHEX: 16 byte cells, the bar, the character text.
inline constexpr int kHexViewColumnCount = 18;
inline constexpr int kHexBarColumn = 16;
inline constexpr int kHexCharColumn = 17;
inline constexpr std::string_view kHexBarText = "|";
// Shown in the character column for every byte below kFirstPrintableByte.
inline constexpr std::string_view kNonPrintableText = ".";
inline constexpr std::uint8_t kFirstPrintableByte = 32;

// One row of the hex view as the walk produces it: the concatenated
// two-digit upper-case cells (2 to 32 characters) and the character text.
struct HexRow {
    std::string hexText;
    std::string charText;

    bool operator==(const HexRow&) const = default;
};

// The 18 cell texts of one ListViewHEX row: cell 0 is the item text, the
// others are sub-items 1 to 17.
using HexViewCells = std::array<std::string, kHexViewColumnCount>;

// Both views of one packet.
struct PacketDetail {
    std::vector<HexRow> hexRows;
    std::string text;  // txtData content: CR LF line ends, UTF-8

    bool operator==(const PacketDetail&) const = default;
};

// Character-column text of one byte: "." below 32, otherwise the byte's
// Windows-1252 character (0x81, 0x8D, 0x8F, 0x90, 0x9D and 0x7F as the code
// point of the same value), UTF-8 encoded.
std::string_view PrintableCharacter(std::uint8_t byte);

// Cuts data into rows of 16 bytes; the last row holds the 1 to 15 bytes left.
std::vector<HexRow> BuildHexRows(std::span<const std::uint8_t> data);

// Splits a row into the cells of ListViewHEX: cell i is characters 2i and
// 2i+1 of hexText for every complete pair (at most 16), empty beyond that;
// cell 16 is the bar, cell 17 the character text.
HexViewCells SplitHexRow(std::string_view hexText, std::string_view charText);

// txtData content: the bytes before the first zero byte, decoded as UTF-8
// (each undecodable sequence becomes U+FFFD), with every LF replaced by CR LF.
std::string BuildTextViewText(std::span<const std::uint8_t> data);

// Both views for data bytes offset .. offset+length-1 of a stored datagram.
// Bytes beyond those stored read as zero; the walk never goes past
// kReceiveBufferSize, the most any datagram can hold. length <= 0 gives
// empty views.
PacketDetail BuildPacketDetail(std::span<const std::uint8_t> datagram, int offset,
                               std::int32_t length);

// The click on a row of lv: both views for the row's protocol text (data
// offset from its upper-cased form), its "Length (Bytes)" text and its Tag
// (the datagram's position in the store). A Length of 0 or less, a Length or
// Tag that is not a decimal number, or a Tag naming no stored datagram gives
// empty views.
PacketDetail BuildPacketDetail(std::string_view protocolText, std::string_view lengthText,
                               std::string_view tagText, const RawDatagramStore& store);

// A 32-bit signed decimal number with optional sign and surrounding spaces;
// nothing for any other text or a value out of range.
std::optional<std::int32_t> ParseDecimalInt32(std::string_view text);

}  // namespace wirelens
