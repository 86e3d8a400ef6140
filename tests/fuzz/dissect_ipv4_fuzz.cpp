// Fuzz target: the IPv4 header alone.
#include "dissect/ipv4.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzIpv4) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeIpv4(in.bytes, in.wireLength);
    std::string summary;
    AppendIpv4Problem(decoded, summary); if (decoded.Usable() && decoded.Fragment()) AppendIpv4Fragment(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddIpv4Layer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
