// Fuzz target: a BOOTP/DHCP message and its options.
#include "dissect/dhcp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzDhcp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeDhcp(in.bytes, in.wireLength);
    std::string summary;
    AppendDhcpSummary(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddDhcpLayer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
