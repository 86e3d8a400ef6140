#pragma once
// Orders the packet list's row entries (store key | outgoing bit) by a column.
// Ports, lengths and time are numbers (time is the capture timestamp),
// addresses compare as numbers in host order, the protocol by its text. Equal
// values keep capture order in both directions, so every order is total and a
// sort is repeatable.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "packets/packet_store.h"
#include "packets/row_array.h"

namespace wirelens {

// In the list's column order.
enum class SortColumn : std::int32_t {
    Protocol = 0,
    SrcAddr = 1,
    SrcPort = 2,
    DestAddr = 3,
    DestPort = 4,
    Size = 5,
    Time = 6,
};
inline constexpr int kSortColumnCount = 7;

enum class SortOrder : std::int32_t { Ascending, Descending };

struct RowOrder {
    SortColumn column = SortColumn::Time;
    SortOrder order = SortOrder::Ascending;
};

inline constexpr std::uint32_t kRowOutgoingBit = 0x80000000u;
inline std::int32_t RowKey(std::uint32_t entry) { return static_cast<std::int32_t>(entry & ~kRowOutgoingBit); }

// Sorts `rows` in place. Entries whose key is not in the store sort as the
// smallest values.
void SortRows(std::span<std::uint32_t> rows, RowOrder order, const PacketStore& store);

// Merges `batch` (any order) into `rows`, which are sorted by `order`, so that
// the result is what SortRows would give for all of them. Returns the indexes
// in the merged `rows` that the batch's entries took, ascending.
std::vector<std::size_t> InsertSortedRows(std::vector<std::uint32_t>& rows, const std::vector<std::uint32_t>& batch,
                                          RowOrder order, const PacketStore& store);
std::vector<std::size_t> InsertSortedRows(RowArray& rows, const std::vector<std::uint32_t>& batch, RowOrder order,
                                          const PacketStore& store);

// Whether `a` comes before `b` in `order`.
bool RowBefore(std::uint32_t a, std::uint32_t b, RowOrder order, const PacketStore& store);

}  // namespace wirelens
