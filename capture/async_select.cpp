#include "capture/async_select.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <exception>
#include <vector>

#include "hook/sub_cls.h"

namespace wirelens {

namespace {

struct Registration {
    int socket;
    int readyFd;
    QPointer<QSocketNotifier> notifier;  // owned by the window, so it dies with it
};

std::vector<Registration>& Registrations() {
    static std::vector<Registration> registrations;
    return registrations;
}

std::vector<Registration>::iterator Find(int socket) {
    auto& all = Registrations();
    // Notifiers whose window is gone no longer count.
    std::erase_if(all, [](const Registration& r) { return r.notifier.isNull(); });
    return std::find_if(all.begin(), all.end(), [socket](const Registration& r) { return r.socket == socket; });
}

}  // namespace

int AsyncSelect(int socket, QObject* window, int message, long events) {
    return AsyncSelect(socket, window, message, events, socket);
}

int AsyncSelect(int socket, QObject* window, int message, long events, int readyFd) {
    const auto found = Find(socket);
    if (events == 0) {
        if (found == Registrations().end()) return -1;
        delete found->notifier.data();
        Registrations().erase(found);
        return 0;
    }
    if (events != kFdRead || socket < 0 || readyFd < 0 || window == nullptr) return -1;
    if (found != Registrations().end()) {
        if (found->notifier->parent() != window || found->readyFd != readyFd) return -1;
        found->notifier->setEnabled(true);
        return 0;
    }
    auto* notifier = new QSocketNotifier(static_cast<qintptr>(readyFd), QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [notifier, window, socket, message] {
        // One notification at a time: the notifier rests until the window asks again.
        notifier->setEnabled(false);
        QCoreApplication::postEvent(window, new MessageEvent(message, static_cast<quintptr>(socket), kFdRead));
    });
    Registrations().push_back({socket, readyFd, notifier});
    return 0;
}

CaptureOpenResult OpenCaptureSocket(const std::string& address, int port, QObject* window,
                                    std::unique_ptr<CapturePump>& pump, const std::string& filter) {
    // Without a ring (no memfd here), the datagrams come on the stream as well.
    std::string ringError;
    std::unique_ptr<RingMapping> ring = RingMapping::Create(CaptureRingBytes(), ringError);
    if (ring) ring->PrepareRecords();
    const int ringFd = ring ? ring->Fd() : -1;
    // The pump's thread runs before the helper starts, so that the helper
    // finds it and raises it along with the rest.
    std::unique_ptr<CapturePump> starting;
    try {
        starting = std::make_unique<CapturePump>(std::move(ring));
    } catch (const std::exception& e) {  // no descriptor or thread left for it
        return {-1, -1, std::string("Cannot read the capture: ") + e.what() + ".", {}};
    }
    CaptureOpenResult opened = OpenCaptureSocket(address, port, filter, ringFd);
    if (!opened.Ok()) return opened;
    pump = std::move(starting);
    pump->Start(opened.socket);
    if (AsyncSelect(opened.socket, window, kCaptureMessage, kFdRead, pump->NoticeFd()) != 0) {
        // The helper ends first: it writes into the ring the pump maps. The
        // pump stops before the descriptor it reads is closed.
        EndCaptureHelper(opened.socket);
        pump.reset();
        CloseCaptureSocket(opened.socket);
        return {-1, -1, "Cannot watch the capture for new datagrams: there is no window to tell.", {}};
    }
    return opened;
}

}  // namespace wirelens
