#include "views/hex_view.h"

#include <algorithm>
#include <charconv>

#include "capture/byte_reader.h"
#include "capture/decode.h"
#include "capture/raw_datagram_store.h"

namespace wirelens {
namespace {

constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kHexDigits[] = "0123456789ABCDEF";

// UTF-8 of every byte's character-column text, built once.
struct PrintableTable {
    std::array<std::array<char, 4>, 256> bytes{};
    std::array<std::uint8_t, 256> lengths{};

    PrintableTable() {
        // Windows-1252 0x80..0x9F; the five unassigned bytes keep their own value.
        constexpr char32_t kHighControls[32] = {
            0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
        };
        for (int b = 0; b < 256; ++b) {
            char32_t cp;
            if (b < kFirstPrintableByte) {
                cp = U'.';
            } else if (b >= 0x80 && b < 0xA0) {
                cp = kHighControls[b - 0x80];
            } else {
                cp = static_cast<char32_t>(b);  // ASCII, 0x7F and Latin-1 0xA0..0xFF
            }
            auto& out = bytes[static_cast<std::size_t>(b)];
            std::uint8_t len;
            if (cp < 0x80) {
                out[0] = static_cast<char>(cp);
                len = 1;
            } else if (cp < 0x800) {
                out[0] = static_cast<char>(0xC0 | (cp >> 6));
                out[1] = static_cast<char>(0x80 | (cp & 0x3F));
                len = 2;
            } else {
                out[0] = static_cast<char>(0xE0 | (cp >> 12));
                out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out[2] = static_cast<char>(0x80 | (cp & 0x3F));
                len = 3;
            }
            lengths[static_cast<std::size_t>(b)] = len;
        }
    }
};

const PrintableTable& Printables() {
    static const PrintableTable table;
    return table;
}

// Length of the well-formed UTF-8 sequence at data[i], or 0 with `consumed`
// set to the maximal ill-formed subpart (at least 1 byte) to replace.
std::size_t WellFormedLength(std::span<const std::uint8_t> data, std::size_t i,
                             std::size_t& consumed) {
    const std::uint8_t lead = data[i];
    if (lead < 0x80) return 1;
    std::size_t need = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead == 0xE0) {
        need = 2;
        low = 0xA0;
    } else if (lead == 0xED) {
        need = 2;
        high = 0x9F;  // no surrogates
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        need = 2;
    } else if (lead == 0xF0) {
        need = 3;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        need = 3;
    } else if (lead == 0xF4) {
        need = 3;
        high = 0x8F;  // nothing above U+10FFFF
    } else {
        consumed = 1;
        return 0;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (got < need && j < data.size() && data[j] >= low && data[j] <= high) {
        low = 0x80;
        high = 0xBF;
        ++j;
        ++got;
    }
    if (got == need) return need + 1;
    consumed = j - i;
    return 0;
}

}  // namespace

std::string_view PrintableCharacter(std::uint8_t byte) {
    const auto& table = Printables();
    return {table.bytes[byte].data(), table.lengths[byte]};
}

std::vector<HexRow> BuildHexRows(std::span<const std::uint8_t> data) {
    std::vector<HexRow> rows;
    rows.reserve((data.size() + kHexBytesPerRow - 1) / kHexBytesPerRow);
    for (std::size_t start = 0; start < data.size(); start += kHexBytesPerRow) {
        const auto row = data.subspan(start, std::min<std::size_t>(kHexBytesPerRow, data.size() - start));
        HexRow& out = rows.emplace_back();
        out.hexText.reserve(row.size() * 2);
        out.charText.reserve(row.size() * 3);
        for (std::uint8_t b : row) {
            out.hexText.push_back(kHexDigits[b >> 4]);
            out.hexText.push_back(kHexDigits[b & 0x0F]);
            out.charText.append(PrintableCharacter(b));
        }
    }
    return rows;
}

HexViewCells SplitHexRow(std::string_view hexText, std::string_view charText) {
    HexViewCells cells;
    for (std::size_t i = 0; i < kHexBytesPerRow && 2 * i + 1 < hexText.size(); ++i) {
        cells[i] = std::string(hexText.substr(2 * i, 2));
    }
    cells[kHexBarColumn] = std::string(kHexBarText);
    cells[kHexCharColumn] = std::string(charText);
    return cells;
}

std::string BuildTextViewText(std::span<const std::uint8_t> data) {
    const auto zero = std::find(data.begin(), data.end(), std::uint8_t{0});
    const auto text = data.first(static_cast<std::size_t>(zero - data.begin()));

    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == kLineFeed) {
            out.append(kCrLf);
            ++i;
            continue;
        }
        std::size_t consumed = 0;
        const std::size_t length = WellFormedLength(text, i, consumed);
        if (length == 0) {
            out.append(kReplacementCharacter);
            i += consumed;
        } else {
            out.append(reinterpret_cast<const char*>(text.data() + i), length);
            i += length;
        }
    }
    return out;
}

PacketDetail BuildPacketDetail(std::span<const std::uint8_t> datagram, int offset,
                               std::int32_t length) {
    PacketDetail detail;
    if (length <= 0 || offset < 0 || static_cast<std::size_t>(offset) >= kReceiveBufferSize) {
        return detail;
    }
    // A stored datagram never holds more than kReceiveBufferSize bytes, so a
    // Length beyond that could only walk zeros.
    const std::size_t count = std::min(static_cast<std::size_t>(length),
                                       kReceiveBufferSize - static_cast<std::size_t>(offset));
    const ByteReader reader(datagram);
    std::vector<std::uint8_t> data(count);
    for (std::size_t k = 0; k < count; ++k) {
        data[k] = reader.U8(static_cast<std::size_t>(offset) + k);
    }
    detail.hexRows = BuildHexRows(data);
    detail.text = BuildTextViewText(data);
    return detail;
}

PacketDetail BuildPacketDetail(std::string_view protocolText, std::string_view lengthText,
                               std::string_view tagText, const RawDatagramStore& store) {
    const auto length = ParseDecimalInt32(lengthText);
    if (!length || *length <= 0) return {};
    const auto position = ParseDecimalInt32(tagText);
    if (!position || *position < 1 || static_cast<std::uint32_t>(*position) > store.Count()) {
        return {};
    }
    return BuildPacketDetail(store.Get(static_cast<std::uint32_t>(*position)),
                             DataOffsetOfProtocolText(protocolText), *length);
}

std::optional<std::int32_t> ParseDecimalInt32(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    // from_chars takes a leading '-' but not '+'; a sign must be followed by a digit.
    if (text.front() == '+') text.remove_prefix(1);
    const std::size_t firstDigit = (!text.empty() && text.front() == '-') ? 1 : 0;
    if (text.size() <= firstDigit || text[firstDigit] < '0' || text[firstDigit] > '9') {
        return std::nullopt;
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace wirelens
