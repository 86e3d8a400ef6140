#include "dissect/protocol_names.h"

#include <array>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

// Keywords of the IANA "Assigned Internet Protocol Numbers" registry; a few
// are given the shorter name every packet tool prints (OSPF for OSPFIGP).
constexpr std::array<std::string_view, 256> MakeNames() {
    std::array<std::string_view, 256> n{};
    n[0] = "HOPOPT";       n[1] = "ICMP";         n[2] = "IGMP";        n[3] = "GGP";
    n[4] = "IPv4";         n[5] = "ST";           n[6] = "TCP";         n[7] = "CBT";
    n[8] = "EGP";          n[9] = "IGP";          n[10] = "BBN-RCC-MON"; n[11] = "NVP-II";
    n[12] = "PUP";         n[13] = "ARGUS";       n[14] = "EMCON";      n[15] = "XNET";
    n[16] = "CHAOS";       n[17] = "UDP";         n[18] = "MUX";        n[19] = "DCN-MEAS";
    n[20] = "HMP";         n[21] = "PRM";         n[22] = "XNS-IDP";    n[23] = "TRUNK-1";
    n[24] = "TRUNK-2";     n[25] = "LEAF-1";      n[26] = "LEAF-2";     n[27] = "RDP";
    n[28] = "IRTP";        n[29] = "ISO-TP4";     n[30] = "NETBLT";     n[31] = "MFE-NSP";
    n[32] = "MERIT-INP";   n[33] = "DCCP";        n[34] = "3PC";        n[35] = "IDPR";
    n[36] = "XTP";         n[37] = "DDP";         n[38] = "IDPR-CMTP";  n[39] = "TP++";
    n[40] = "IL";          n[41] = "IPv6";        n[42] = "SDRP";       n[43] = "IPv6-Route";
    n[44] = "IPv6-Frag";   n[45] = "IDRP";        n[46] = "RSVP";       n[47] = "GRE";
    n[48] = "DSR";         n[49] = "BNA";         n[50] = "ESP";        n[51] = "AH";
    n[52] = "I-NLSP";      n[53] = "SWIPE";       n[54] = "NARP";       n[55] = "Min-IPv4";
    n[56] = "TLSP";        n[57] = "SKIP";        n[58] = "IPv6-ICMP";  n[59] = "IPv6-NoNxt";
    n[60] = "IPv6-Opts";   n[62] = "CFTP";        n[64] = "SAT-EXPAK";  n[65] = "KRYPTOLAN";
    n[66] = "RVD";         n[67] = "IPPC";        n[69] = "SAT-MON";    n[70] = "VISA";
    n[71] = "IPCV";        n[72] = "CPNX";        n[73] = "CPHB";       n[74] = "WSN";
    n[75] = "PVP";         n[76] = "BR-SAT-MON";  n[77] = "SUN-ND";     n[78] = "WB-MON";
    n[79] = "WB-EXPAK";    n[80] = "ISO-IP";      n[81] = "VMTP";       n[82] = "SECURE-VMTP";
    n[83] = "VINES";       n[84] = "IPTM";        n[85] = "NSFNET-IGP"; n[86] = "DGP";
    n[87] = "TCF";         n[88] = "EIGRP";       n[89] = "OSPF";       n[90] = "Sprite-RPC";
    n[91] = "LARP";        n[92] = "MTP";         n[93] = "AX.25";      n[94] = "IPIP";
    n[95] = "MICP";        n[96] = "SCC-SP";      n[97] = "ETHERIP";    n[98] = "ENCAP";
    n[100] = "GMTP";       n[101] = "IFMP";       n[102] = "PNNI";      n[103] = "PIM";
    n[104] = "ARIS";       n[105] = "SCPS";       n[106] = "QNX";       n[107] = "A/N";
    n[108] = "IPComp";     n[109] = "SNP";        n[110] = "Compaq-Peer"; n[111] = "IPX-in-IP";
    n[112] = "VRRP";       n[113] = "PGM";        n[115] = "L2TP";      n[116] = "DDX";
    n[117] = "IATP";       n[118] = "STP";        n[119] = "SRP";       n[120] = "UTI";
    n[121] = "SMP";        n[122] = "SM";         n[123] = "PTP";       n[124] = "ISIS";
    n[125] = "FIRE";       n[126] = "CRTP";       n[127] = "CRUDP";     n[128] = "SSCOPMCE";
    n[129] = "IPLT";       n[130] = "SPS";        n[131] = "PIPE";      n[132] = "SCTP";
    n[133] = "FC";         n[134] = "RSVP-E2E-IGNORE"; n[135] = "Mobility"; n[136] = "UDPLite";
    n[137] = "MPLS-in-IP"; n[138] = "manet";      n[139] = "HIP";       n[140] = "Shim6";
    n[141] = "WESP";       n[142] = "ROHC";       n[143] = "Ethernet";  n[144] = "AGGFRAG";
    n[145] = "NSH";        n[255] = "Reserved";
    return n;
}

constexpr auto kNames = MakeNames();

constexpr std::uint8_t kProtocolEsp = 50, kProtocolAh = 51;

// Where the SPI and sequence number lie, or 0xFFFF for a protocol without them.
std::size_t SpiOffset(std::uint8_t protocol) {
    return protocol == kProtocolEsp ? 0 : protocol == kProtocolAh ? 4 : 0xFFFF;
}

}  // namespace

std::string_view ProtocolName(std::uint8_t protocol) { return kNames[protocol]; }

void AppendProtocolName(std::uint8_t protocol, std::string& out) {
    const std::string_view name = ProtocolName(protocol);
    if (name.empty()) {
        out += "ip-proto-";
        AppendDecimal(out, protocol);
    } else {
        out += name;
    }
}

void AppendOtherSummary(std::uint8_t protocol, const ByteReader& payload, std::uint32_t length, std::string& out) {
    AppendProtocolName(protocol, out);
    const std::size_t spi = SpiOffset(protocol);
    if (spi != 0xFFFF) {
        if (!payload.Has(spi, 8)) {
            out += protocol == kProtocolEsp ? " [|esp]" : " [|ah]";
            return;
        }
        out += "(spi=";
        AppendHex(out, payload.U32Be(spi), 8);
        out += ",seq=";
        AppendHex(out, payload.U32Be(spi + 4));
        out += ')';
    }
    out += ", length ";
    AppendDecimal(out, length);
}

void AddOtherLayer(std::uint8_t protocol, const ByteReader& payload, std::uint32_t length, std::uint32_t base,
                   DissectTree& tree) {
    const std::string_view name = ProtocolName(protocol);
    std::string title = name.empty() ? "IP protocol " + Decimal(protocol) : std::string(name);
    LayerBuilder layer(tree, std::move(title), payload, base);
    const std::size_t spi = SpiOffset(protocol);
    if (spi != 0xFFFF) {
        layer.Add("Security Parameters Index", Hex(payload.U32Be(spi), 8), spi, 4);
        layer.Add("Sequence Number", Decimal(payload.U32Be(spi + 4)), spi + 4, 4);
    }
    layer.Note("Length", Decimal(length));
}

}  // namespace wirelens::dissect
