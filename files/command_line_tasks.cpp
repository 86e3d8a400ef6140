#include "files/command_line_tasks.h"

#include <ostream>

#include "files/capture_file_io.h"
#include "files/session_files.h"
#include "packets/capture_session.h"

namespace wirelens {

namespace {
std::string InputPath(const std::string& in) { return in == "-" ? "/dev/stdin" : in; }

// Skipped frames are worth a line: a file of another protocol lists nothing.
void TellSkipped(std::uint64_t skipped, std::ostream& err) {
    if (skipped > 0) err << "wirelens: " << skipped << (skipped == 1 ? " frame that is" : " frames that are")
                         << " not IPv4 " << (skipped == 1 ? "was" : "were") << " skipped\n";
}
}  // namespace

int RunConvert(const std::string& in, const std::string& out, const PacketPredicate& keep, std::ostream& err) {
    const ConvertResult result = ConvertCaptureFile(InputPath(in), out, std::nullopt, [&keep](const CapturePacket& p) {
        return !keep || keep(p.bytes, p.wireLength);
    });
    TellSkipped(result.skippedFrames, err);
    if (result.writeError) {
        err << "wirelens: " << *result.writeError << "\n";
        return 1;
    }
    if (result.readError) {
        err << "wirelens: " << result.readError->message << "\n";
        // Damage after some packets: what came before it was written.
        return result.packetsRead > 0 ? 2 : 1;
    }
    return 0;
}

int RunPrint(const std::string& in, const PacketPredicate& keep, const PacketSummary& summary, std::ostream& out,
             std::ostream& err) {
    // Each packet goes through a session, so a line holds the texts a row would.
    CaptureSession session;
    std::string line;
    const ReadCaptureFileResult result = ReadCaptureFile(InputPath(in), [&](const CapturePacket& packet) {
        if (keep && !keep(packet.bytes, packet.wireLength)) return;
        if (!session.CanFileAnother() || session.Count() >= (1 << 20)) session.Clear();  // nothing is kept for printing
        IngestResult filed = IngestCapturePacket(session, packet);
        if (filed.status == IngestStatus::Refused && session.LastRefusal() == FilingStop::DiskFull) {
            session.Clear();  // cutting the store's file gives its room back
            filed = IngestCapturePacket(session, packet);
        }
        const clV* r = session.Packets().Get(filed.key);
        if (r == nullptr) return;
        line.clear();
        for (const std::string& text : {r->mProtocol(), r->mSrcAddr(), r->mSrcPort(), r->mDestAddr(), r->mDestPort(),
                                        r->mSize(), r->mHora()}) {
            line += text;
            line += '\t';
        }
        if (summary) line += summary(*r, session.Bytes(*r), session.WireLength(*r));
        line += '\n';
        out << line;
    });
    out.flush();
    TellSkipped(result.skippedFrames, err);
    if (result.error) {
        err << "wirelens: " << result.error->message << "\n";
        return result.packets > 0 ? 2 : 1;
    }
    return 0;
}

}  // namespace wirelens
