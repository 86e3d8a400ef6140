#include "packets/packet_find.h"

#include <algorithm>
#include <cctype>

#include "capture/decode.h"
#include "packets/packet_sort.h"

namespace wirelens {

namespace {

unsigned char Lower(unsigned char c) { return static_cast<unsigned char>(std::tolower(c)); }

bool ContainsIgnoringCase(std::span<const std::uint8_t> haystack, std::string_view needle) {
    if (needle.empty()) return true;
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                                [](std::uint8_t h, char n) { return Lower(h) == Lower(static_cast<unsigned char>(n)); });
    return it != haystack.end();
}

bool TextContains(std::string_view haystack, std::string_view needle) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(haystack.data());
    return ContainsIgnoringCase({bytes, haystack.size()}, needle);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == ':' || c == '-') {
            if (high >= 0) return std::nullopt;  // a separator inside a byte
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) return std::nullopt;
    return bytes;
}

FindQueryResult MakeFindQuery(FindKind kind, std::string_view text) {
    FindQueryResult result;
    result.query.kind = kind;
    if (kind == FindKind::DataBytes) {
        auto bytes = ParseHexBytes(text);
        if (!bytes) {
            result.error.append("\"").append(text).append("\" is not a hex byte string such as 41 0a");
            return result;
        }
        result.query.bytes = std::move(*bytes);
        return result;
    }
    if (text.empty()) {
        result.error = "nothing to find";
        return result;
    }
    result.query.text = std::string(text);
    return result;
}

std::vector<std::string> RowTexts(const clV& record) {
    return {record.mProtocol(), record.mSrcAddr(), record.mSrcPort(), record.mDestAddr(),
            record.mDestPort(), record.mSize(), record.mHora()};
}

std::span<const std::uint8_t> PacketData(const clV& record, std::span<const std::uint8_t> kept) {
    const auto offset = static_cast<std::size_t>(HeaderLengthOf(record.Protocol()));
    if (record.Size() <= 0 || offset >= kept.size()) return {};
    return kept.subspan(offset, std::min(kept.size() - offset, static_cast<std::size_t>(record.Size())));
}

bool PacketMatches(const FindQuery& query, const clV& record, std::span<const std::uint8_t> kept) {
    switch (query.kind) {
        case FindKind::RowText: {
            for (const std::string& text : RowTexts(record))
                if (TextContains(text, query.text)) return true;
            return false;
        }
        case FindKind::DataText: return ContainsIgnoringCase(PacketData(record, kept), query.text);
        case FindKind::DataBytes: {
            const auto data = PacketData(record, kept);
            return !query.bytes.empty() &&
                   std::search(data.begin(), data.end(), query.bytes.begin(), query.bytes.end()) != data.end();
        }
    }
    return false;
}

namespace {
template <typename Rows>
std::optional<std::size_t> FindRowIn(const Rows& rows, std::optional<std::size_t> from, FindDirection direction,
                                     const FindQuery& query, const PacketStore& store, const RawDatagramStore& raw) {
    const std::size_t n = rows.size();
    if (n == 0) return std::nullopt;
    const bool forward = direction == FindDirection::Next;
    // The first row looked at, then n - 1 more in the direction, going round.
    std::size_t start;
    if (from && *from < n)
        start = forward ? (*from + 1) % n : (*from + n - 1) % n;
    else
        start = forward ? 0 : n - 1;
    for (std::size_t step = 0; step < n; ++step) {
        const std::size_t row = forward ? (start + step) % n : (start + n - step) % n;
        const clV* record = store.Get(RowKey(rows[row]));
        if (record == nullptr) continue;
        if (PacketMatches(query, *record, raw.Get(record->DataPosition()))) return row;
    }
    return std::nullopt;
}

template <typename Rows>
std::optional<std::size_t> RowOfSequenceIn(const Rows& rows, std::int32_t sequence) {
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (RowKey(rows[row]) == sequence) return row;
    }
    return std::nullopt;
}
}  // namespace

std::optional<std::size_t> FindRow(std::span<const std::uint32_t> rows, std::optional<std::size_t> from,
                                   FindDirection direction, const FindQuery& query, const PacketStore& store,
                                   const RawDatagramStore& raw) {
    return FindRowIn(rows, from, direction, query, store, raw);
}

std::optional<std::size_t> FindRow(const RowArray& rows, std::optional<std::size_t> from, FindDirection direction,
                                   const FindQuery& query, const PacketStore& store, const RawDatagramStore& raw) {
    return FindRowIn(rows, from, direction, query, store, raw);
}

std::optional<std::size_t> RowOfSequence(std::span<const std::uint32_t> rows, std::int32_t sequence) {
    return RowOfSequenceIn(rows, sequence);
}

std::optional<std::size_t> RowOfSequence(const RowArray& rows, std::int32_t sequence) {
    return RowOfSequenceIn(rows, sequence);
}

}  // namespace wirelens
