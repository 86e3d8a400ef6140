// Read notifications of a descriptor as message events: one per readiness
// until the window asks again, none once the registration has ended.
#include "capture/async_select.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "hook/sub_cls.h"

namespace wirelens {
namespace {

struct Notice {
    int type;
    quintptr wParam;
    qintptr lParam;
};

class Recorder : public QObject {
public:
    std::vector<Notice> notices;
    bool event(QEvent* event) override {
        if (auto* message = dynamic_cast<MessageEvent*>(event)) {
            notices.push_back({static_cast<int>(event->type()), message->wParam, message->lParam});
            return true;
        }
        return QObject::event(event);
    }
};

// A socket pair whose first end is watched; writing to the second makes it readable.
struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    ~Pair() {
        close(ends[0]);
        close(ends[1]);
    }
    void Send() { ASSERT_EQ(write(ends[1], "x", 1), 1); }
    int Watched() const { return ends[0]; }
    int ends[2] = {-1, -1};
};

bool WaitForNotices(const Recorder& recorder, std::size_t count) {
    return QTest::qWaitFor([&] { return recorder.notices.size() >= count; }, 5000);
}

// A control pair, registered now and made readable, has its notice delivered:
// the event loop ran, so a notice that was due elsewhere would have come too.
bool EventLoopRan() {
    Pair control;
    Recorder controlWindow;
    if (AsyncSelect(control.Watched(), &controlWindow, kCaptureMessage, kFdRead) != 0) return false;
    control.Send();
    const bool ran = WaitForNotices(controlWindow, 1);
    QCoreApplication::processEvents();
    AsyncSelect(control.Watched(), &controlWindow, kCaptureMessage, 0);
    return ran;
}

TEST(AsyncSelect, ReadinessPostsOneMessageUntilTheWindowAsksAgain) {
    Pair pair;
    Recorder window;
    ASSERT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, kFdRead), 0);
    pair.Send();
    ASSERT_TRUE(WaitForNotices(window, 1));
    EXPECT_EQ(window.notices[0].type, kCaptureMessage);
    EXPECT_EQ(window.notices[0].wParam, static_cast<quintptr>(pair.Watched()));
    EXPECT_EQ(window.notices[0].lParam, kFdRead);

    // Still readable, but the window has not asked again.
    ASSERT_TRUE(EventLoopRan());
    EXPECT_EQ(window.notices.size(), 1u);

    ASSERT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, kFdRead), 0);
    EXPECT_TRUE(WaitForNotices(window, 2));
    EXPECT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, 0), 0);
}

// The capture's notices come from the pump's descriptor, yet name the socket
// the window knows; asking again must name the same descriptor.
TEST(AsyncSelect, ReadinessOfAnotherDescriptorIsPostedUnderTheSocket) {
    Pair socket;
    Pair notices;
    Recorder window;
    ASSERT_EQ(AsyncSelect(socket.Watched(), &window, kCaptureMessage, kFdRead, notices.Watched()), 0);
    socket.Send();  // the socket's own readiness is not what is watched
    ASSERT_TRUE(EventLoopRan());
    EXPECT_TRUE(window.notices.empty());

    notices.Send();
    ASSERT_TRUE(WaitForNotices(window, 1));
    EXPECT_EQ(window.notices[0].wParam, static_cast<quintptr>(socket.Watched()));
    EXPECT_EQ(AsyncSelect(socket.Watched(), &window, kCaptureMessage, kFdRead), -1) << "another descriptor";
    EXPECT_EQ(AsyncSelect(socket.Watched(), &window, kCaptureMessage, kFdRead, notices.Watched()), 0);
    EXPECT_TRUE(WaitForNotices(window, 2));
    EXPECT_EQ(AsyncSelect(socket.Watched(), &window, kCaptureMessage, 0), 0);
}

TEST(AsyncSelect, EndedRegistrationPostsNothingAndEndingAgainFails) {
    Pair pair;
    Pair control;
    Recorder window;
    Recorder controlWindow;
    ASSERT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, kFdRead), 0);
    ASSERT_EQ(AsyncSelect(control.Watched(), &controlWindow, kCaptureMessage, kFdRead), 0);
    EXPECT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, 0), 0);
    pair.Send();
    control.Send();
    ASSERT_TRUE(WaitForNotices(controlWindow, 1));
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.notices.empty());
    EXPECT_EQ(AsyncSelect(pair.Watched(), &window, kCaptureMessage, 0), -1);
    // The close sequence on a capture that never opened: descriptor 0, nothing registered.
    EXPECT_EQ(AsyncSelect(0, &window, kCaptureMessage, 0), -1);
    EXPECT_EQ(AsyncSelect(control.Watched(), &controlWindow, kCaptureMessage, 0), 0);
}

TEST(AsyncSelect, RegistrationEndsWithItsWindowAndRefusesNonsense) {
    Pair pair;
    auto window = std::make_unique<Recorder>();
    ASSERT_EQ(AsyncSelect(pair.Watched(), window.get(), kCaptureMessage, kFdRead), 0);
    window.reset();
    EXPECT_EQ(AsyncSelect(pair.Watched(), nullptr, kCaptureMessage, 0), -1);

    Recorder other;
    EXPECT_EQ(AsyncSelect(-1, &other, kCaptureMessage, kFdRead), -1);
    EXPECT_EQ(AsyncSelect(pair.Watched(), nullptr, kCaptureMessage, kFdRead), -1);
    EXPECT_EQ(AsyncSelect(pair.Watched(), &other, kCaptureMessage, 4), -1);  // only read-ready is offered
}

}  // namespace
}  // namespace wirelens
