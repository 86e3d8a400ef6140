#pragma once
// The program's use of the capture facility: start and release, opening the
// capture (through the privileged helper) on one local address, address
// resolution, the platform check and the interface list.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wirelens {

inline constexpr int kCapturePort = 8800;          // kept for the call's shape; a capture has no port
inline constexpr int kCaptureMessage = 1025;      // event type of a read notification
inline constexpr int kReceiveTimeoutMs = 5000;     // how long opening waits for the helper's answer
inline constexpr const char* kCaptureHelperName = "wirelens-capture";

// True between StartWinsock and EndWinsock.
extern bool WinsockStarted;
// The descriptor the GUI reads ("the capture socket"); 0 at start, not reset after closing.
extern int CaptureSocket;

bool StartWinsock();
// Ends and reaps a running helper, then marks the library released. Safe to repeat.
void EndWinsock();

// Where OpenCaptureSocket finds the helper; by default ChooseCaptureHelper for
// the running executable's folder.
void SetCaptureHelperPath(std::string path);
std::string CaptureHelperPath();

struct CaptureOpenResult {
    int socket = -1;      // read end of the stream, non-blocking; -1 on failure
    pid_t helperPid = -1;
    std::string error;    // why opening failed, for the user
    std::string interfaces;  // the interfaces the helper captures on ("eth0,lo"), as it reports them
    bool Ok() const { return socket >= 0; }
};

// The size of the ring the helper writes its datagrams to (capture/shared_ring.h)
// that this process gets: kUnmappedCaptureRingBytes or kCaptureRingBytes.
std::size_t CaptureRingBytes();

// Starts the helper for `address` and waits (at most kReceiveTimeoutMs) until it
// reports the capture open or says why it could not open it. A `filter` (a
// tcpdump expression) narrows the capture in the kernel; an invalid one is
// refused with libpcap's message before anything is captured. Call it from a
// thread that outlives the capture: the helper ends when the thread that
// started it ends (parent-death signal). With `ringFd`, a shared ring's
// descriptor (capture/shared_ring.h), the helper puts its datagrams there
// instead of on the stream.
CaptureOpenResult OpenCaptureSocket(const std::string& address, int port, const std::string& filter = {},
                                    int ringFd = -1);

// Ends and reaps the helper that feeds `socket` but leaves the descriptor open,
// so that what the helper sent before it ended can still be read. Safe to repeat.
void EndCaptureHelper(int socket);

// Closes the capture descriptor and ends the helper that feeds it. Safe on a
// descriptor that was never opened (0 or -1) and safe to repeat.
void CloseCaptureSocket(int socket);

// Dotted text or host name to an IPv4 address in network byte order;
// nothing for "255.255.255.255" and for names that do not resolve.
std::optional<std::uint32_t> ResolveAddress(const std::string& text);

// Whether this kernel offers packet capture sockets.
bool IsSupportedOS();

// Every IPv4 address of every interface as "address;mask", in the order the
// system reports them. Returns 0, or the errno of the failing query.
int ListLocalAddresses(std::vector<std::string>& list);

// The name of the interface that holds a dotted address ("eth0", an "eth0:1"
// label as it is), or empty text when none does.
std::string InterfaceOfAddress(const std::string& address);

}  // namespace wirelens
