// Fuzz target: a protocol known by name only; the first byte kept is its number.
#include "dissect/protocol_names.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzOtherProtocol) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = in.bytes.Sub(1);
    std::string summary;
    AppendOtherSummary(in.bytes.U8(0), decoded, in.wireLength, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddOtherLayer(in.bytes.U8(0), decoded, in.wireLength, 0, tree);
    wirelens::fuzz::CheckTree(tree, decoded.Size());
    return 0;
}
