// Fuzz target: an NTP header.
#include "dissect/ntp.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzNtp) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeNtp(in.bytes, in.wireLength);
    std::string summary;
    AppendNtpSummary(decoded, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddNtpLayer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
