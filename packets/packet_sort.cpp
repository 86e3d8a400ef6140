#include "packets/packet_sort.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
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

void SortRows(std::span<std::uint32_t> rows, RowOrder order, const PacketStore& store) {
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

namespace {
// Merges in place: the rows grow by the batch, then each stretch of old rows
// moves back by the number of batch entries that go before it, from the end,
// so nothing is copied twice and no second list is built.
template <typename Rows>
std::vector<std::size_t> MergeSortedBatch(Rows& rows, const std::vector<std::uint32_t>& batch, RowOrder order,
                                          const PacketStore& store) {
    std::vector<Placed> placed(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) placed[i] = PlaceOf(batch[i], order, store);
    std::sort(placed.begin(), placed.end());

    // Where each batch entry goes among the old rows. Each search starts where
    // the one before ended and gallops (1, 2, 4, ... rows on) before it
    // bisects, so a batch that lands in a few places, as a capture's does,
    // costs a few comparisons an entry: each is a look at a stored record,
    // likely a cache miss, and a full bisection of ten million rows is 24 of them.
    std::vector<std::size_t> before(placed.size());
    const std::size_t oldSize = rows.size();
    const auto goesBefore = [&](const Placed& p, std::size_t row) { return p < PlaceOf(rows[row], order, store); };
    std::size_t from = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        std::size_t low = from;  // rows before `low` go before the entry
        std::size_t step = 1;
        std::size_t high = from;
        while (high < oldSize && !goesBefore(placed[i], high)) {
            low = high + 1;
            high = from + step;
            step *= 2;
        }
        high = std::min(high, oldSize);
        // The entry goes after every row before `low` and before row `high`.
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (goesBefore(placed[i], mid)) high = mid; else low = mid + 1;
        }
        from = low;
        before[i] = from;
    }

    // Batch entries [0, split) join the rows before them, which move towards
    // the front into room made there; the rest join the rows after them,
    // which move towards the end. The split moves the fewest rows: a list
    // whose new rows come first (newest first) moves none.
    std::size_t split = 0;
    if constexpr (requires { rows.GrowFront(std::size_t{}); }) {
        std::size_t fewest = SIZE_MAX;
        for (std::size_t m = 0; m <= placed.size(); ++m) {
            const std::size_t moved = (m > 0 ? before[m - 1] : 0) + (m < placed.size() ? oldSize - before[m] : 0);
            if (moved < fewest) {
                fewest = moved;
                split = m;
            }
        }
    }
    std::vector<std::size_t> taken(placed.size());
    for (std::size_t i = 0; i < placed.size(); ++i) taken[i] = before[i] + i;

    // Towards the end: from the last entry back, each stretch of old rows
    // moves back by the entries still to place before it.
    rows.resize(oldSize + placed.size() - split);
    std::size_t oldEnd = oldSize;
    for (std::size_t i = placed.size(); i-- > split;) {
        const auto first = rows.begin() + static_cast<std::ptrdiff_t>(before[i]);
        std::move_backward(first, rows.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                           rows.begin() + static_cast<std::ptrdiff_t>(oldEnd + (i - split) + 1));
        rows[before[i] + (i - split)] = EntryOf(placed[i].tie);
        oldEnd = before[i];
    }
    if constexpr (requires { rows.GrowFront(std::size_t{}); }) {
        if (split == 0) return taken;
        // Towards the front: old row r now sits at r + split; from the first
        // entry on, each stretch of old rows moves forward to its place.
        rows.GrowFront(split);
        std::size_t from = split;  // where the next old row sits
        std::size_t to = 0;        // where it goes
        for (std::size_t i = 0; i < split; ++i) {
            const std::size_t stretch = before[i] - (from - split);
            std::move(rows.begin() + static_cast<std::ptrdiff_t>(from),
                      rows.begin() + static_cast<std::ptrdiff_t>(from + stretch), rows.begin() + static_cast<std::ptrdiff_t>(to));
            from += stretch;
            to += stretch;
            rows[to++] = EntryOf(placed[i].tie);
        }
    }
    return taken;
}
}  // namespace

std::vector<std::size_t> InsertSortedRows(std::vector<std::uint32_t>& rows, const std::vector<std::uint32_t>& batch,
                                          RowOrder order, const PacketStore& store) {
    return MergeSortedBatch(rows, batch, order, store);
}

std::vector<std::size_t> InsertSortedRows(RowArray& rows, const std::vector<std::uint32_t>& batch, RowOrder order,
                                          const PacketStore& store) {
    return MergeSortedBatch(rows, batch, order, store);
}

}  // namespace wirelens
