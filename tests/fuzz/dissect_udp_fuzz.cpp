// Fuzz target: a UDP datagram and the application its ports name.
#include "dissect/udp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzUdp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeUdp(in.bytes, in.wireLength);
    std::string summary;
    AppendUdpSummary(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddUdpLayers(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
