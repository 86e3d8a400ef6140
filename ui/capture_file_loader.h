#pragma once
// Reads a capture file or a live pcap/pcapng stream into the window a slice at
// a time, so the event loop keeps running: a regular file is read in turns of
// a few milliseconds, a pipe whenever it has data. The packets go to a
// callback; the loader owns the descriptor.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "files/capture_file_parser.h"

class QSocketNotifier;

namespace wirelens {

struct LoadOutcome {
    std::uint64_t packets = 0;
    std::uint64_t skippedFrames = 0;
    bool cancelled = false;
    std::optional<std::string> error;  // damage (with where it stopped) or a failed read
};

class CaptureFileLoader : public QObject {
    Q_OBJECT
public:
    // `fd` is read until its end; a stream (pipe, FIFO, terminal) is made
    // non-blocking and read when it has data. `size` is the file size, 0 if unknown.
    CaptureFileLoader(int fd, bool stream, std::uint64_t size,
                      std::function<void(const CaptureFileParser&, const CapturePacket&)> onPacket,
                      QObject* parent = nullptr);
    ~CaptureFileLoader() override;

    void Start();
    // Asked once the input has ended, and every few milliseconds until it
    // says true: the reading ends only then (a cancel ends it at once). The
    // packets' bytes may still be on their way to disk, and a full disk must
    // end the reading rather than show after it.
    void SetSettledTest(std::function<bool()> settled) { mSettled = std::move(settled); }
    // Stops reading; what was read stays. Finished follows at once.
    void Cancel();
    bool IsStream() const { return mStream; }
    bool IsRunning() const { return mRunning; }
    const CaptureFileParser& Parser() const { return mParser; }

signals:
    void Progress(quint64 bytesRead, quint64 size);
    void Finished(const wirelens::LoadOutcome& outcome);

private:
    void ReadTurn();
    // False once the parser has ended or failed.
    bool Drain(const QElapsedTimer& clock, bool& outOfTime);
    void Finish(bool cancelled, std::optional<std::string> readError = std::nullopt);

    int mFd;
    bool mStream;
    std::uint64_t mSize;
    std::uint64_t mRead = 0;
    bool mRunning = false;
    bool mInputEnded = false;
    bool mSettling = false;
    std::function<bool()> mSettled;
    std::function<void(const CaptureFileParser&, const CapturePacket&)> mOnPacket;
    CaptureFileParser mParser;
    std::vector<std::uint8_t> mSlice;
    QSocketNotifier* mNotifier = nullptr;
};

// Why `path` cannot be opened as a capture file (not one, unreadable), or
// nothing when its first bytes read as one. Reads at most a few KiB.
std::optional<std::string> ProbeCaptureFile(const std::string& path);

}  // namespace wirelens
