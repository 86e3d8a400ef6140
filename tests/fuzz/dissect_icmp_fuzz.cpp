// Fuzz target: an ICMP message and the datagram an error quotes.
#include "dissect/icmp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzIcmp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeIcmp(in.bytes, in.wireLength);
    std::string summary;
    AppendIcmpSummary(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddIcmpLayers(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
