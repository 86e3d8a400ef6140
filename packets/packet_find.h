#pragma once
// Finding a packet among the list's rows: by the texts its row shows, or by
// its data (the bytes the detail views show) holding a text or a byte string;
// and going to a packet by its sequence number (its store key).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/raw_datagram_store.h"
#include "packets/packet_store.h"
#include "packets/row_array.h"

namespace wirelens {

enum class FindKind : std::int32_t {
    RowText,    // any cell text of the row contains the text (case ignored)
    DataText,   // the data contains the text's bytes (ASCII case ignored)
    DataBytes,  // the data contains the bytes written in hex: "41 0a", "410a"
};
enum class FindDirection : std::int32_t { Next, Previous };

struct FindQuery {
    FindKind kind = FindKind::RowText;
    std::string text;                  // RowText, DataText
    std::vector<std::uint8_t> bytes;   // DataBytes
};

struct FindQueryResult {
    FindQuery query;
    std::string error;  // why the text is no query; empty when it is one
    bool Ok() const { return error.empty(); }
};

// Hex digit pairs, optionally separated by blanks, ':' or '-'; nothing for
// any other text, an odd digit count, or no digits at all.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);

FindQueryResult MakeFindQuery(FindKind kind, std::string_view text);

// The texts a packet's row shows, in column order.
std::vector<std::string> RowTexts(const clV& record);
// The packet's data within the kept bytes: after the protocol's header, at
// most its Length.
std::span<const std::uint8_t> PacketData(const clV& record, std::span<const std::uint8_t> kept);

bool PacketMatches(const FindQuery& query, const clV& record, std::span<const std::uint8_t> kept);

// The first matching row after `from` (Next) or before it (Previous), going
// round the end; `from` itself is looked at last. Without `from`, Next starts
// at the first row and Previous at the last.
std::optional<std::size_t> FindRow(std::span<const std::uint32_t> rows, std::optional<std::size_t> from,
                                   FindDirection direction, const FindQuery& query, const PacketStore& store,
                                   const RawDatagramStore& raw);

// The same over the list's own rows, read in place.
std::optional<std::size_t> FindRow(const RowArray& rows, std::optional<std::size_t> from, FindDirection direction,
                                   const FindQuery& query, const PacketStore& store, const RawDatagramStore& raw);

// The row that shows the packet with this sequence number, if the list shows it.
std::optional<std::size_t> RowOfSequence(std::span<const std::uint32_t> rows, std::int32_t sequence);
std::optional<std::size_t> RowOfSequence(const RowArray& rows, std::int32_t sequence);

}  // namespace wirelens
