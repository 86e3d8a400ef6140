#pragma once
// Read notifications of the capture descriptor as window messages. While a
// descriptor is registered with a window, readable data posts one message
// event to it (wParam the descriptor, lParam kFdRead: read-ready with a zero
// error word). The next one is posted only once the window registers again
// after reading, so a window that is busy reading is never flooded.
#include <cstddef>
#include <memory>
#include <string>

#include "capture/capture_pump.h"
#include "capture/mdlwinsock.h"

class QObject;

namespace wirelens {

inline constexpr long kFdRead = 1;  // read-ready, the only event asked for
// Registers `window` for `message` on `socket` (events kFdRead), or, when it
// is registered already, asks for the next notification; events 0 ends the
// registration. Returns 0, or -1 when there is nothing to register or end.
int AsyncSelect(int socket, QObject* window, int message, long events);
// The same, with readiness watched on `readyFd` in place of the socket: the
// capture pump's notice descriptor, which says frames wait that the pump has
// read from the socket. The message still names the socket.
int AsyncSelect(int socket, QObject* window, int message, long events, int readyFd);

// Opens the capture on `address` (narrowed by a capture `filter`, if any),
// starts `pump` reading it and registers `window` for message kCaptureMessage
// on the pump's notices, last, once the capture is open.
CaptureOpenResult OpenCaptureSocket(const std::string& address, int port, QObject* window,
                                    std::unique_ptr<CapturePump>& pump, const std::string& filter = {});

}  // namespace wirelens
