#include "ui/capture_file_loader.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace wirelens {

namespace {
// Longest stretch of reading before the event loop gets a turn.
constexpr qint64 kTurnBudgetMs = 25;
constexpr std::size_t kSliceBytes = 1 << 20;
constexpr unsigned kPacketsPerClockCheck = 256;
// How often an ended reading asks whether it has settled.
constexpr int kSettlePollMs = 5;
}  // namespace

CaptureFileLoader::CaptureFileLoader(int fd, bool stream, std::uint64_t size,
                                     std::function<void(const CaptureFileParser&, const CapturePacket&)> onPacket,
                                     QObject* parent)
    : QObject(parent), mFd(fd), mStream(stream), mSize(size), mOnPacket(std::move(onPacket)), mSlice(kSliceBytes) {
    if (mStream) {
        ::fcntl(mFd, F_SETFL, ::fcntl(mFd, F_GETFL) | O_NONBLOCK);
        mNotifier = new QSocketNotifier(static_cast<qintptr>(mFd), QSocketNotifier::Read, this);
        mNotifier->setEnabled(false);
        connect(mNotifier, &QSocketNotifier::activated, this, [this] { ReadTurn(); });
    }
}

CaptureFileLoader::~CaptureFileLoader() {
    if (mNotifier != nullptr) mNotifier->setEnabled(false);
    if (mFd >= 0) ::close(mFd);
}

void CaptureFileLoader::Start() {
    mRunning = true;
    if (mStream) {
        mNotifier->setEnabled(true);
    } else {
        QTimer::singleShot(0, this, [this] { ReadTurn(); });
    }
}

void CaptureFileLoader::Cancel() {
    if (mRunning) Finish(true);
}

bool CaptureFileLoader::Drain(const QElapsedTimer& clock, bool& outOfTime) {
    CapturePacket packet;
    unsigned n = 0;
    for (;;) {
        switch (mParser.Next(packet)) {
            case CaptureFileParser::Status::Packet:
                mOnPacket(mParser, packet);
                if (!mRunning) return false;  // the callback cancelled
                if (++n % kPacketsPerClockCheck == 0 && clock.elapsed() >= kTurnBudgetMs) {
                    outOfTime = true;
                    return true;
                }
                break;
            case CaptureFileParser::Status::NeedMore: return true;
            case CaptureFileParser::Status::End:
            case CaptureFileParser::Status::Error: return false;
        }
    }
}

void CaptureFileLoader::ReadTurn() {
    if (!mRunning || mSettling) return;
    QElapsedTimer clock;
    clock.start();
    bool outOfTime = false;
    // Whole records still buffered from the last turn come first.
    if (!Drain(clock, outOfTime)) return Finish(false);
    while (!outOfTime && !mInputEnded) {
        const ssize_t n = ::read(mFd, mSlice.data(), mSlice.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                mNotifier->setEnabled(true);  // the next data wakes us
                emit Progress(mRead, mSize);
                return;
            }
            return Finish(false, std::string("Reading stopped: ") + std::strerror(errno) + ".");
        }
        if (n == 0) {
            mInputEnded = true;
            mParser.Finish();
        } else {
            mRead += static_cast<std::uint64_t>(n);
            mParser.Feed(std::span<const std::uint8_t>(mSlice).first(static_cast<std::size_t>(n)));
        }
        if (!Drain(clock, outOfTime)) return Finish(false);
        if (!outOfTime && clock.elapsed() >= kTurnBudgetMs) outOfTime = true;
    }
    emit Progress(mRead, mSize);
    if (mInputEnded && !outOfTime) return Finish(false);
    // More to do: give the event loop a turn first.
    if (mNotifier != nullptr) mNotifier->setEnabled(false);
    QTimer::singleShot(0, this, [this] { ReadTurn(); });
}

void CaptureFileLoader::Finish(bool cancelled, std::optional<std::string> readError) {
    // A callback that cancelled has finished the reading already: tell it once.
    if (!mRunning) return;
    if (mNotifier != nullptr) mNotifier->setEnabled(false);
    if (!cancelled && mSettled && !mSettled()) {
        mSettling = true;
        QTimer::singleShot(kSettlePollMs, this, [this, readError] { Finish(false, readError); });
        return;
    }
    mRunning = false;
    LoadOutcome outcome;
    outcome.packets = mParser.PacketCount();
    outcome.skippedFrames = mParser.SkippedFrames();
    outcome.cancelled = cancelled;
    if (readError) {
        outcome.error = std::move(readError);
    } else if (!cancelled && mParser.Error()) {
        outcome.error = mParser.Error()->message;
    }
    emit Finished(outcome);
}

std::optional<std::string> ProbeCaptureFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "Cannot open \"" + path + "\": " + std::strerror(errno) + ".";
    std::vector<std::uint8_t> head(64 * 1024);
    ssize_t n;
    do {
        n = ::read(fd, head.data(), head.size());
    } while (n < 0 && errno == EINTR);
    const int readErrno = errno;
    ::close(fd);
    if (n < 0) return "Cannot read \"" + path + "\": " + std::strerror(readErrno) + ".";
    CaptureFileParser parser;
    parser.Feed(std::span<const std::uint8_t>(head).first(static_cast<std::size_t>(n)));
    if (static_cast<std::size_t>(n) < head.size()) parser.Finish();
    CapturePacket packet;
    // Damage after the first packet is told when the whole file is read; only
    // a file that fails before its first packet is no capture file.
    if (parser.Next(packet) == CaptureFileParser::Status::Error && !parser.Format()) {
        return parser.Error()->message;
    }
    if (n == 0) return "\"" + path + "\" is empty: it is no capture file.";
    return std::nullopt;
}

}  // namespace wirelens
