#pragma once
// A display filter: a tcpdump expression compiled by libpcap for raw IPv4 and
// run by libpcap's filter machine on one stored datagram. No filter language
// of our own: what tcpdump accepts and passes, this accepts and passes.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "packets/clv.h"

namespace wirelens {

struct DisplayFilterResult;

class DisplayFilter {
public:
    // No filter: every datagram passes.
    DisplayFilter();
    ~DisplayFilter();
    DisplayFilter(DisplayFilter&&) noexcept;
    DisplayFilter& operator=(DisplayFilter&&) noexcept;
    DisplayFilter(const DisplayFilter&) = delete;
    DisplayFilter& operator=(const DisplayFilter&) = delete;

    // An empty (or all-blank) expression gives no filter; an invalid one gives
    // libpcap's message.
    static DisplayFilterResult Compile(std::string_view expression);

    bool IsEmpty() const { return mProgram == nullptr; }
    // The expression as given, or empty for no filter.
    const std::string& Expression() const { return mExpression; }

    // `kept` are the stored bytes (at most the kept length); `wireLength` is the
    // datagram's original length, which `greater`/`less` and `len` test.
    bool Matches(std::span<const std::uint8_t> kept, std::uint32_t wireLength) const;

private:
    struct Program;
    std::unique_ptr<Program> mProgram;
    std::string mExpression;
};

struct DisplayFilterResult {
    DisplayFilter filter;
    std::string error;  // libpcap's message; empty when the expression compiled
    bool Ok() const { return error.empty(); }
};

// Whether the expression holds nothing but blanks (no filter).
bool IsBlankExpression(std::string_view expression);

enum class FilterJoin : std::int32_t { Replace, And, Or };

// `added` joined to `current`: "(current) and (added)", "(current) or (added)",
// or `added` alone when replacing or when `current` is blank.
std::string CombineFilterExpressions(std::string_view current, std::string_view added, FilterJoin join);

// The expression that selects what a list cell shows: "host A" for an address,
// "port P" for a port, "tcp", "udp", "icmp" or "ip proto N" for the protocol.
// Empty for a cell with nothing to select on (an empty port, length, time).
// `column` counts in the list's column order.
std::string CellFilterExpression(int column, const clV& record);

}  // namespace wirelens
