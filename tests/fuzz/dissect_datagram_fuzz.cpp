// Fuzz target: a whole datagram, every decoder behind the IPv4 header.
#include "dissect/dissect.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzDatagram) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = in.bytes.Bytes();
    std::string summary;
    AppendDatagramSummary(decoded, in.wireLength, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    tree = DissectDatagram(decoded, in.wireLength);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
