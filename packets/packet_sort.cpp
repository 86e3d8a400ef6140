#include "packets/packet_sort.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string>

#include "capture/decode.h"

namespace wirelens {

namespace {

// A row's place: the column's value, then capture order. `tie` is the entry
// turned so that the key leads and the outgoing bit trails, keeping both.
struct Placed {
    std::uint64_t value;
    std::uint32_t tie;
    bool operator<(const Placed& other) const {
        return value != other.value ? value < other.value : tie < other.tie;
    }
};

std::uint32_t TieOf(std::uint32_t entry) { return (entry << 1) | (entry >> 31); }
std::uint32_t EntryOf(std::uint32_t tie) { return (tie >> 1) | (tie << 31); }

// Rank of each protocol number's text among all 256 texts.
const std::array<std::uint8_t, 256>& ProtocolTextRanks() {
    static const std::array<std::uint8_t, 256> ranks = [] {
        std::array<std::uint8_t, 256> byText{};
        for (int p = 0; p < 256; ++p) byText[static_cast<std::size_t>(p)] = static_cast<std::uint8_t>(p);
        std::array<std::string, 256> texts;
        for (int p = 0; p < 256; ++p) texts[static_cast<std::size_t>(p)] = ProtocolText(static_cast<std::uint8_t>(p));
        std::stable_sort(byText.begin(), byText.end(),
                         [&texts](std::uint8_t a, std::uint8_t b) { return texts[a] < texts[b]; });
        std::array<std::uint8_t, 256> result{};
        for (int rank = 0; rank < 256; ++rank) result[byText[static_cast<std::size_t>(rank)]] = static_cast<std::uint8_t>(rank);
        return result;
    }();
    return ranks;
}

constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::uint64_t kNanosecondsPerCentisecond = 10'000'000;

// The capture timestamp in nanoseconds (seconds are within 0 .. UINT32_MAX, so
// it fits). A record that holds a time of day alone counts it from day zero.
std::uint64_t TimeValue(const clV& record) {
    if (const auto t = record.Timestamp())
        return static_cast<std::uint64_t>(t->seconds) * kNanosecondsPerSecond + t->nanoseconds;
    return std::uint64_t{record.Time().centiseconds} * kNanosecondsPerCentisecond;
}

std::uint64_t ColumnValue(const clV& record, SortColumn column) {
    switch (column) {
        case SortColumn::Protocol: return ProtocolTextRanks()[record.Protocol()];
        case SortColumn::SrcAddr: return ntohl(record.SrcAddress());
        case SortColumn::DestAddr: return ntohl(record.DestAddress());
        // A row without ports shows empty port cells, which come first.
        case SortColumn::SrcPort: return record.HasPorts() ? record.SrcPort() + 1u : 0u;
        case SortColumn::DestPort: return record.HasPorts() ? record.DestPort() + 1u : 0u;
        case SortColumn::Size: return static_cast<std::uint32_t>(record.Size()) ^ 0x80000000u;
        case SortColumn::Time: return TimeValue(record);
    }
    return 0;
}

Placed PlaceOf(std::uint32_t entry, RowOrder order, const PacketStore& store) {
    const clV* record = store.Get(RowKey(entry));
    std::uint64_t value = record != nullptr ? ColumnValue(*record, order.column) : 0;
    if (order.order == SortOrder::Descending) value = ~value;
    return {value, TieOf(entry)};
}

bool FitsInWord(SortColumn column) { return column != SortColumn::Time; }

}  // namespace

bool RowBefore(std::uint32_t a, std::uint32_t b, RowOrder order, const PacketStore& store) {
    return PlaceOf(a, order, store) < PlaceOf(b, order, store);
}

void SortRows(std::vector<std::uint32_t>& rows, RowOrder order, const PacketStore& store) {
    if (FitsInWord(order.column)) {
        // Value and tie in one word: the value's low 32 bits hold everything
        // (a descending value is complemented within them as well).
        std::vector<std::uint64_t> words(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Placed p = PlaceOf(rows[i], order, store);
            words[i] = (p.value << 32) | p.tie;
        }
        std::sort(words.begin(), words.end());
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = EntryOf(static_cast<std::uint32_t>(words[i]));
        return;
    }
    std::vector<Placed> placed(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) placed[i] = PlaceOf(rows[i], order, store);
    std::sort(placed.begin(), placed.end());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = EntryOf(placed[i].tie);
}

std::vector<std::size_t> InsertSortedRows(std::vector<std::uint32_t>& rows, std::vector<std::uint32_t> batch,
                                          RowOrder order, const PacketStore& store) {
    std::vector<Placed> placed(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) placed[i] = PlaceOf(batch[i], order, store);
    std::sort(placed.begin(), placed.end());

    // Where each batch entry goes among the old rows: a binary search each, so a
    // batch costs lookups in proportion to its own size, not to the list's.
    std::vector<std::size_t> before(placed.size());
    auto from = rows.begin();
    for (std::size_t i = 0; i < placed.size(); ++i) {
        from = std::upper_bound(from, rows.end(), placed[i], [&](const Placed& p, std::uint32_t entry) {
            return p < PlaceOf(entry, order, store);
        });
        before[i] = static_cast<std::size_t>(from - rows.begin());
    }

    // Merged in place from the back: each old row moves right once, by the
    // number of batch entries that go before it. Growing `rows` keeps its
    // buffer (and its spare room), so a long list is not copied into fresh
    // pages at every batch.
    const std::size_t oldSize = rows.size();
    rows.resize(oldSize + placed.size());
    std::vector<std::size_t> taken(placed.size());
    std::size_t unmoved = oldSize;  // old rows [0, unmoved) are still in their places
    for (std::size_t i = placed.size(); i-- > 0;) {
        std::move_backward(rows.begin() + static_cast<std::ptrdiff_t>(before[i]),
                           rows.begin() + static_cast<std::ptrdiff_t>(unmoved),
                           rows.begin() + static_cast<std::ptrdiff_t>(unmoved + i + 1));
        unmoved = before[i];
        taken[i] = before[i] + i;
        rows[taken[i]] = EntryOf(placed[i].tie);
    }
    return taken;
}

}  // namespace wirelens
