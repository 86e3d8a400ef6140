// Fuzz target: an IGMP message.
#include "dissect/igmp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzIgmp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeIgmp(in.bytes, in.wireLength);
    std::string summary;
    AppendIgmpSummary(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddIgmpLayer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
