#include "packets/packet_line.h"

#include "dissect/dissect.h"

namespace wirelens {

std::string PrintPacketLine(const clV& record, std::span<const std::uint8_t> bytes, std::uint32_t wireLength) {
    std::string line = record.mProtocol();
    const auto column = [&line](const std::string& text) {
        line += '\t';
        line += text;
    };
    column(record.mSrcAddr());
    column(record.mSrcPort());
    column(record.mDestAddr());
    column(record.mDestPort());
    column(record.mSize());
    column(record.mHora());
    line += '\t';
    dissect::AppendDatagramSummary(bytes, wireLength, line);
    return line;
}

}  // namespace wirelens
