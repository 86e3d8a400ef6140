// The main window's capture control: Start and Stop, reading the capture
// stream on read notifications, and shutting the capture down.
#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTableView>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/async_select.h"
#include "capture/capture_filter_history.h"
#include "capture/mdlwinsock.h"
#include "ui/capture_file_loader.h"
#include "ui/form_main.h"
#include "ui/packet_row_delegate.h"
#include <utility>

namespace wirelens {

namespace {
// Longest stretch spent filing before the event loop gets a turn; the rest
// waits in the pump and is taken on a notification posted to ourselves. With
// the list's insertion and repaint after it, a turn stays within a 60 Hz frame
// even when other processes take part of the CPU meanwhile.
constexpr qint64 kReadBudgetMs = 4;
// The clock is looked at once per this many frames, not per datagram.
constexpr unsigned kFramesPerClockCheck = 64;
constexpr const char* kPacketsKept = " The packets captured so far are kept.";

// Why the capture stopped when the session filed no more, and what is kept.
// Panel 5 while capturing: the address, and the filter when there is one.
QString CaptureTargetText(const std::string& localIP, const std::string& captureFilter) {
    QString text = QStringLiteral("Local IP: ") + QString::fromStdString(localIP);
    if (!IsBlankExpression(captureFilter))
        text += QStringLiteral(" (capture filter: %1)").arg(QString::fromStdString(captureFilter).trimmed());
    return text;
}

// A reason from the helper or the system, ended as a sentence inside a message.
QString WithFullStop(QString text) {
    text = text.trimmed();
    if (!text.isEmpty() && !text.endsWith(u'.') && !text.endsWith(u'!') && !text.endsWith(u'?')) text += u'.';
    return text;
}
}  // namespace

QString FilingStopMessage(FilingStop why, const CaptureSession& session, const QString& readingFile) {
    const std::int32_t kept = session.Count();
    const bool reading = !readingFile.isEmpty();
    const QString keptText = QStringLiteral("The %1 %2 so far %3 kept")
                                 .arg(kept == 1 ? QStringLiteral("1 packet") : QStringLiteral("%1 packets").arg(kept),
                                      reading ? QStringLiteral("read") : QStringLiteral("captured"),
                                      kept == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    const QString stopped =
        reading ? QStringLiteral("Reading \"%1\" stopped: ").arg(readingFile) : QStringLiteral("The capture stopped: ");
    const QString more = reading ? QStringLiteral("read") : QStringLiteral("capture");
    if (why == FilingStop::MemoryLow)
        return stopped +
               QStringLiteral("this machine is running out of memory (less than %1 MiB is available). %2; clear the "
                              "list or close other programs to %3 more.")
                   .arg(session.Guard().marginBytes >> 20)
                   .arg(keptText, more);
    if (why == FilingStop::DiskFull) {
        const int error = session.Raw().WriteError();
        const QString folder = QString::fromStdString(session.Raw().Folder());
        // Clearing cuts the file, which gives its room back.
        if (error == ENOSPC || error == EDQUOT)
            return stopped +
                   QStringLiteral("the disk holding the capture's temporary file (%1) is full. %2; clear the list to "
                                  "%3 more.")
                       .arg(folder, keptText, more);
        return stopped + QStringLiteral("writing the capture's temporary file (in %1) failed: %2 %3; clear the list to "
                                        "%4 more.")
                             .arg(folder, WithFullStop(QString::fromLocal8Bit(std::strerror(error))), keptText, more);
    }
    return stopped + QStringLiteral("the packet list is full and cannot keep another packet. %1; clear the list to %2 more.")
                         .arg(keptText, more);
}

void FormMain::SetCaptureFilter(std::string expression) {
    SessionCaptureFilters().Use(expression);
    mCaptureFilter = std::move(expression);
}

void FormMain::EnterCapturingState() {
    Menu_Start->setEnabled(false);
    Menu_Stop->setEnabled(true);
    Button(1)->setEnabled(false);
    Button(2)->setEnabled(true);
    SetPanelText(1, QStringLiteral("Sniffing..."));
}

void FormMain::EnterIdleState(const QString& stateText, bool disableClear) {
    Menu_Start->setEnabled(true);
    Menu_Stop->setEnabled(false);
    Button(1)->setEnabled(true);
    Button(2)->setEnabled(false);
    if (disableClear) Button(3)->setEnabled(false);
    SetPanelText(1, stateText);
}

void FormMain::StartCapture() {
    if (!IsSupportedOS()) {
        mEnv.showMessage(QStringLiteral("This software can only run on Windows 2000 or Windows XP"),
                         QMessageBox::Critical);
        return;
    }
    if (mCaptureOpen) return;  // Start is disabled while capturing; a stray call changes nothing
    EnterCapturingState();

    LocalIpChoice choice;
    if (!mPresetAddress.empty()) {
        choice.outcome = LocalIpChoice::Outcome::Chosen;
        choice.localIP = std::exchange(mPresetAddress, std::string());
    } else {
        choice = mEnv.chooseAddress(dicAddr, this);
    }
    if (choice.outcome == LocalIpChoice::Outcome::NoAddress) {
        // No usable address: say so and go back to idle rather than pretend to capture.
        mEnv.showMessage(QString::fromStdString(choice.error), QMessageBox::Critical);
        EnterIdleState(QStringLiteral("Ready to start"), false);
        return;
    }
    LocalIP = choice.Ok() ? choice.localIP : std::string();
    if (choice.Ok() && choice.captureFilter.has_value()) mCaptureFilter = *choice.captureFilter;
    if (LocalIP.empty()) {
        EnterIdleState(QStringLiteral("Ready to start"), true);
        return;
    }

    StartWinsock();
    const CaptureOpenResult opened = OpenCaptureSocket(LocalIP, kCapturePort, this, mPump, mCaptureFilter);
    SetPanelText(5, CaptureTargetText(LocalIP, mCaptureFilter));
    if (!opened.Ok()) {
        EndWinsock();
        mEnv.showMessage(QString::fromStdString(opened.error), QMessageBox::Critical);
        EnterIdleState(QStringLiteral("Ready to start"), false);
        return;
    }
    CaptureSocket = opened.socket;
    // A stream or file being read gives way to the capture.
    StopReadingFile();
    mShownFile.clear();
    setWindowTitle(QStringLiteral("Wirelens"));
    mSession.Source() = CaptureSource{opened.interfaces, LocalIP, 0, false};
    mSession.JudgeDirectionBy(std::nullopt);
    // An abandoned start disables Clear on the toolbar; a capture that really
    // starts gives it back, or it would stay disabled for good.
    Button(3)->setEnabled(true);
    mKernelDrops = 0;
    mKernelReceived = 0;
    mWriterWaits = {};
    // The first datagrams would otherwise wait while their stores clear their
    // first pages, and the first rows while the list's painter builds its tables.
    mSession.PrepareForPackets();
    if (const auto* rows = qobject_cast<const PacketRowDelegate*>(lv->itemDelegate())) rows->Prepare(lv->font());
    mCaptureOpen = true;
}

void FormMain::StartCaptureOn(const std::string& address) {
    mPresetAddress = address;
    StartCapture();
}

void FormMain::StopCapture() {
    // Stop also ends the reading of a live stream; its packets stay.
    if (mLoader != nullptr && mLoader->IsStream()) StopReadingFile();
    EnterIdleState(QStringLiteral("Stopped"), false);
    CloseSequence();
}

void FormMain::CloseSequence() {
    // No more notifications, then the descriptor, then the library; each step
    // fails without effect on a capture that is not open.
    AsyncSelect(CaptureSocket, this, kCaptureMessage, 0);
    if (mCaptureOpen) {
        // Closed from here on: what the drain hands over is kept but ends nothing again.
        mCaptureOpen = false;
        EndWriterWait();  // a capture closed while the writer was full waited till now
        // The helper ends first; every datagram it captured before then is kept.
        EndCaptureHelper(CaptureSocket);
        DrainCapture();
        // The pump stops before the descriptor it reads is closed.
        mPump.reset();
        CloseCaptureSocket(CaptureSocket);
    }
    mPump.reset();
    mCaptureOpen = false;
    EndWinsock();
}

void FormMain::DrainCapture() {
    if (!mPump) return;
    mPump->Finish();
    for (;;) {
        const auto frame = mPump->TakeFrame();
        if (!frame) {
            if (mPump->TakenToTheEnd() != CapturePump::End::None) return;
            mPump->WaitForFrames();
            continue;
        }
        // An ended helper's Error frame is no news: the capture is closing anyway.
        if (frame->type == FrameType::Datagram || frame->type == FrameType::Stats) HandleFrame(*frame);
    }
}

std::size_t FormMain::CaptureBytesWaiting() const {
    if (!mPump) return 0;
    int inSocket = 0;
    if (ioctl(CaptureSocket, FIONREAD, &inSocket) != 0) inSocket = 0;
    return static_cast<std::size_t>(inSocket) + mPump->BytesWaiting();
}

void FormMain::CaptureEnded(const QString& why) {
    CloseSequence();
    EnterIdleState(QStringLiteral("Stopped"), false);
    mEnv.showMessage(why, QMessageBox::Warning);
}

void FormMain::Antes(LResult&, LResult&, QObject*, int, quintptr, qintptr) {}

void FormMain::Despues(LResult& /*lReturn*/, QObject* /*hwnd*/, int /*uMsg*/, quintptr wParam, qintptr lParam) {
    if (lParam != kFdRead) return;
    if (!mCaptureOpen || static_cast<int>(wParam) != CaptureSocket) return;  // a stale notification
    ReadCapture();
}

void FormMain::ReadCapture() {
    mPump->ClearNotice();
    QElapsedTimer clock;
    clock.start();
    unsigned frames = 0;
    for (;;) {
        // A disk behind the capture would hold the window in the store's
        // writer; the frames wait in the capture pump instead, as they would
        // meanwhile, and in the rings behind it when that is full.
        if (!StoreWriterHasRoom()) return mWriterWait->start();
        const auto frame = mPump->TakeFrame();
        if (!frame) {
            if (mPump->TakenToTheEnd() != CapturePump::End::None) return CaptureEndedBy(mPump->TakenToTheEnd());
            if (mPump->AskForNotice()) break;
            continue;
        }
        HandleFrame(*frame);
        if (!mCaptureOpen) return;  // ended, and the pump with it
        if (++frames % kFramesPerClockCheck == 0 && clock.elapsed() >= kReadBudgetMs) {
            QCoreApplication::postEvent(this, new MessageEvent(kCaptureMessage, static_cast<quintptr>(CaptureSocket), kFdRead));
            return;
        }
    }
    // Everything waiting has been taken: the pump's next frames notify again.
    AsyncSelect(CaptureSocket, this, kCaptureMessage, kFdRead, mPump->NoticeFd());
    WatchStoreWrites();
}

bool FormMain::StoreWriterHasRoom() {
    if (mSession.StoreWriterFull()) {
        if (!mWriterFullSince.isValid()) mWriterFullSince.start();
        return false;
    }
    EndWriterWait();
    return true;
}

void FormMain::EndWriterWait() {
    if (!mWriterFullSince.isValid()) return;
    const double ms = static_cast<double>(mWriterFullSince.nsecsElapsed()) / 1e6;
    ++mWriterWaits.stretches;
    mWriterWaits.totalMs += ms;
    mWriterWaits.longestMs = std::max(mWriterWaits.longestMs, ms);
    mWriterFullSince.invalidate();
}

void FormMain::WatchStoreWrites() {
    if (mCaptureOpen && mSession.StoreWritesPending() && !mStoreWatch->isActive()) mStoreWatch->start();
}

void FormMain::CaptureEndedBy(CapturePump::End end) {
    switch (end) {
        case CapturePump::End::Corrupt:
            CaptureEnded(QStringLiteral("The capture stopped: the capture helper sent data that could not be read."));
            return;
        case CapturePump::End::Failed:
            CaptureEnded(QStringLiteral("The capture stopped: reading from the capture helper failed: %1")
                             .arg(WithFullStop(QString::fromLocal8Bit(std::strerror(mPump->LastErrno())))) +
                         QLatin1String(kPacketsKept));
            return;
        case CapturePump::End::EndOfStream:
        case CapturePump::End::Finished:
        case CapturePump::End::None:
            CaptureEnded(QStringLiteral("The capture stopped by itself: the capture helper ended "
                                        "(was the interface removed?). The packets captured so far are kept."));
            return;
    }
}

void FormMain::HandleFrame(const Frame& frame) {
    switch (frame.type) {
        case FrameType::Datagram:
            IngestDatagram(frame.payload, PacketTime{frame.seconds, frame.microseconds * 1000u}, frame.wireLength);
            // A packet the session could not file ends the capture: nothing goes missing unsaid.
            if (mSession.LastRefusal() != FilingStop::None && mCaptureOpen)
                CaptureEnded(FilingStopMessage(mSession.LastRefusal(), mSession));
            break;
        case FrameType::Stats: {
            const auto stats = ParseStatsPayload(frame.payload);
            if (!stats) break;
            mKernelDrops = stats->droppedByKernel + stats->droppedByInterface;
            mKernelReceived = stats->received;
            mSession.Source().kernelDrops = mKernelDrops;
            if (mKernelDrops != 0) {
                DropCountLabel()->setText(QStringLiteral("Dropped by the kernel: %1").arg(mKernelDrops));
                DropCountLabel()->show();
            }
            break;
        }
        case FrameType::Error: {
            const auto error = ParseErrorPayload(frame.payload);
            // The helper's reason: the address left its interface, the interface went down, ...
            const QString text = error ? QString::fromStdString(error->message) : QStringLiteral("the capture helper failed");
            CaptureEnded(QStringLiteral("The capture stopped: ") + WithFullStop(text) + QLatin1String(kPacketsKept));
            break;
        }
        case FrameType::Ready:
        case FrameType::Published:  // the pump's business
            break;
    }
}

}  // namespace wirelens
