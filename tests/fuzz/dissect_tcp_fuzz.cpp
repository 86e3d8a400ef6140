// Fuzz target: a TCP segment, options included.
#include "dissect/tcp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzTcp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeTcp(in.bytes, in.wireLength);
    std::string summary;
    AppendTcpSummary(decoded, in.bytes, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddTcpLayer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
