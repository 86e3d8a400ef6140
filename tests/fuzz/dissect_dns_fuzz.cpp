// Fuzz target: a DNS message, names with pointers included.
#include "dissect/dns.h"
#include "tests/fuzz/fuzz_target.h"

using namespace wirelens::dissect;

WIRELENS_FUZZ_TARGET(FuzzDns) {
    const auto in = wirelens::fuzz::Split(data, size);
    const auto decoded = DecodeDns(in.bytes, in.wireLength);
    std::string summary;
    AppendDnsSummary(decoded, in.bytes, summary);
    wirelens::fuzz::CheckSummary(summary);
    DissectTree tree;
    AddDnsLayer(decoded, in.bytes, 0, tree);
    wirelens::fuzz::CheckTree(tree, in.bytes.Size());
    return 0;
}
