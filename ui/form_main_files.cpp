// The main window's capture file commands: open a file or a live stream,
// save the packets, and the question before unsaved packets are lost. The
// reading and writing themselves belong to files/; this is the thin layer
// that asks, shows progress and tells the outcome.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QProgressDialog>
#include <QUrl>
#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/session_files.h"
#include "packets/packet_list_model.h"
#include "ui/capture_file_loader.h"
#include "ui/form_main.h"

namespace wirelens {

namespace {
QString CountText(std::uint64_t n) { return QLocale(QLocale::English).toString(static_cast<qulonglong>(n)); }
QString PacketsText(std::uint64_t n) { return CountText(n) + (n == 1 ? QStringLiteral(" packet") : QStringLiteral(" packets")); }
}  // namespace

bool FormMain::AskToKeepPackets(const QString& question) {
    if (!mSession.HasUnsavedPackets()) return true;
    const auto stored = static_cast<std::uint64_t>(mSession.Count());
    const QString text = QStringLiteral("%1 %2 not been saved. %3")
                             .arg(PacketsText(stored), stored == 1 ? QStringLiteral("has") : QStringLiteral("have"), question);
    switch (mEnv.askUnsaved(this, text)) {
        case UnsavedChoice::Save: {
            FlushPendingRows();
            const SavePacketsChoice choice = mEnv.chooseSavePackets(this, mModel->rowCount(), mSession.Count());
            if (choice.path.isEmpty()) return false;
            return SavePackets(choice.path, choice.format, choice.onlyShown);
        }
        case UnsavedChoice::Discard: return true;
        case UnsavedChoice::Cancel: break;
    }
    return false;
}

void FormMain::Menu_Clear_Click() {
    if (!AskToKeepPackets(QStringLiteral("Save them before the list is cleared?"))) return;
    if (IsReadingFile() && !mLoader->IsStream()) StopReadingFile();
    ClearPackets();
}

void FormMain::Menu_Open_Click() {
    const QString path = mEnv.chooseCaptureFile(this);
    if (!path.isEmpty()) OpenCommand(path);
}

bool FormMain::OpenCommand(const QString& path) {
    if (mCaptureOpen) {
        if (!mEnv.confirm(this, QStringLiteral("A capture is running. Stop it and open \"%1\"?").arg(path))) return false;
        StopCapture();
    }
    if (!AskToKeepPackets(QStringLiteral("Save them before \"%1\" is opened?").arg(QFileInfo(path).fileName()))) return false;
    return OpenCaptureFile(path);
}

bool FormMain::OpenCaptureFile(const QString& path) {
    if (path == QStringLiteral("-")) {
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            mEnv.showMessage(QStringLiteral("Cannot read standard input: %1").arg(QString::fromLocal8Bit(std::strerror(errno))),
                             QMessageBox::Critical);
            return false;
        }
        return ReadCaptureStream(fd, QStringLiteral("standard input"));
    }
    const std::string name = path.toStdString();
    struct stat status {};
    if (::stat(name.c_str(), &status) != 0) {
        mEnv.showMessage(QStringLiteral("Cannot open \"%1\": %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno))),
                         QMessageBox::Critical);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        // A FIFO or another stream: read it as it arrives, never blocking on it.
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            mEnv.showMessage(QStringLiteral("Cannot open \"%1\": %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno))),
                             QMessageBox::Critical);
            return false;
        }
        return ReadCaptureStream(fd, path);
    }
    if (const auto why = ProbeCaptureFile(name)) {
        // No capture file: the packets shown stay as they are.
        mEnv.showMessage(QString::fromStdString(*why), QMessageBox::Warning);
        return false;
    }
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        mEnv.showMessage(QStringLiteral("Cannot open \"%1\": %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno))),
                         QMessageBox::Critical);
        return false;
    }
    StartLoader(fd, false, static_cast<std::uint64_t>(status.st_size), path);
    return true;
}

bool FormMain::ReadCaptureStream(int fd, const QString& name) {
    if (mCaptureOpen) StopCapture();
    StartLoader(fd, true, 0, name);
    return true;
}

void FormMain::StartLoader(int fd, bool stream, std::uint64_t size, const QString& name) {
    StopReadingFile();
    ClearPackets();
    mSession.Source() = CaptureSource{};
    mSession.JudgeDirectionBy(std::nullopt);
    mShownFile = name;
    SetPanelText(5, (stream ? QStringLiteral("Stream: ") : QStringLiteral("File: ")) + QFileInfo(name).fileName());
    setWindowTitle(QStringLiteral("Wirelens - ") + QFileInfo(name).fileName());
    mNoteLabel->hide();

    auto adopted = std::make_shared<bool>(false);
    mReadRefusal = FilingStop::None;
    mLoader = new CaptureFileLoader(
        fd, stream, size,
        [this, adopted](const CaptureFileParser& parser, const CapturePacket& packet) {
            // The interface block that records the capture address comes before the packets.
            if (!*adopted) {
                AdoptFileInfo(mSession, parser.Info(), parser.NanosecondResolution());
                *adopted = true;
            }
            if (mReadFilter && !mReadFilter(packet.bytes, packet.wireLength)) return;
            if (IngestCapturePacket(mSession, packet).status == IngestStatus::Refused) {
                // Nothing more can be kept: stop here and say so rather than read on and drop.
                mReadRefusal = mSession.LastRefusal();
                if (mLoader) mLoader->Cancel();
            }
        },
        this);
    // The reading ends once the bytes read are in the store's file, or the disk has refused them.
    mLoader->SetSettledTest([this] {
        if (!mSession.CheckStoreWrites()) {
            mReadRefusal = FilingStop::DiskFull;
            return true;
        }
        return !mSession.StoreWritesPending();
    });
    connect(mLoader, &CaptureFileLoader::Finished, this, &FormMain::LoaderFinished);
    if (stream) {
        Menu_Start->setEnabled(false);
        Button(1)->setEnabled(false);
        Menu_Stop->setEnabled(true);
        Button(2)->setEnabled(true);
        SetPanelText(1, QStringLiteral("Reading..."));
    } else {
        mProgress = new QProgressDialog(QStringLiteral("Opening \"%1\"...").arg(QFileInfo(name).fileName()),
                                        QStringLiteral("Cancel"), 0, 1000, this);
        mProgress->setWindowTitle(QStringLiteral("Wirelens"));
        mProgress->setWindowModality(Qt::NonModal);
        mProgress->setMinimumDuration(400);
        mProgress->setAutoClose(false);
        mProgress->setAutoReset(false);
        connect(mProgress, &QProgressDialog::canceled, mLoader, &CaptureFileLoader::Cancel);
        connect(mLoader, &CaptureFileLoader::Progress, mProgress, [this](quint64 read, quint64 total) {
            if (mProgress && total > 0) mProgress->setValue(static_cast<int>(std::min<quint64>(1000, read * 1000 / total)));
        });
    }
    mLoader->Start();
}

bool FormMain::IsReadingFile() const { return mLoader != nullptr && mLoader->IsRunning(); }

void FormMain::StopReadingFile() {
    if (mLoader == nullptr) return;
    if (mLoader->IsRunning()) mLoader->Cancel();  // LoaderFinished runs and lets it go
}

void FormMain::LoaderFinished(const LoadOutcome& outcome) {
    FlushPendingRows();
    CaptureFileLoader* loader = mLoader;
    mLoader = nullptr;
    const bool stream = loader->IsStream();
    loader->deleteLater();
    if (mProgress) {
        mProgress->close();
        mProgress->deleteLater();
    }
    // A file holds every packet read from it; a stream is kept nowhere else.
    if (!stream) mSession.MarkSaved();

    QStringList notes;
    if (outcome.skippedFrames > 0) {
        notes << QStringLiteral("%1 %2 not IPv4 %3 skipped")
                     .arg(CountText(outcome.skippedFrames),
                          outcome.skippedFrames == 1 ? QStringLiteral("frame that is") : QStringLiteral("frames that are"),
                          outcome.skippedFrames == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    }
    const FilingStop refusal = std::exchange(mReadRefusal, FilingStop::None);
    if (outcome.cancelled && refusal == FilingStop::None)
        notes << QStringLiteral("reading was cancelled after %1").arg(PacketsText(outcome.packets));
    if (!notes.isEmpty()) {
        mNoteLabel->setText(notes.join(QStringLiteral("; ")));
        mNoteLabel->show();
    }
    if (refusal != FilingStop::None) {
        if (stream) EnterIdleState(QStringLiteral("Stopped"), false);
        mEnv.showMessage(FilingStopMessage(refusal, mSession, QFileInfo(mShownFile).fileName()), QMessageBox::Warning);
    } else if (stream) {
        EnterIdleState(QStringLiteral("Stopped"), false);
        if (!outcome.cancelled) {
            QString text = QStringLiteral("The stream \"%1\" ended: %2 read, all kept.").arg(mShownFile, PacketsText(outcome.packets));
            if (outcome.error) text += QStringLiteral(" ") + QString::fromStdString(*outcome.error);
            mEnv.showMessage(text, QMessageBox::Information);
        }
    } else if (outcome.error) {
        mEnv.showMessage(QStringLiteral("\"%1\" is damaged: %2 The %3 before the damage are listed.")
                             .arg(QFileInfo(mShownFile).fileName(), QString::fromStdString(*outcome.error),
                                  PacketsText(outcome.packets)),
                         QMessageBox::Warning);
    }
}

bool FormMain::SavePackets(const QString& path, CaptureFileFormat format, bool onlyShown) {
    FlushPendingRows();
    std::vector<std::int32_t> keys;
    if (onlyShown) {
        keys.reserve(static_cast<std::size_t>(mModel->rowCount()));
        for (int row = 0; row < mModel->rowCount(); ++row) keys.push_back(mModel->KeyAt(row));
        std::sort(keys.begin(), keys.end());  // a capture file is in capture order
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto error = SaveSessionPackets(mSession, path.toStdString(), format, keys, onlyShown);
    QApplication::restoreOverrideCursor();
    if (error) {
        mEnv.showMessage(QStringLiteral("The packets were not saved. %1").arg(QString::fromStdString(*error)),
                         QMessageBox::Critical);
        return false;
    }
    const std::size_t written = onlyShown ? keys.size() : static_cast<std::size_t>(mSession.Count());
    if (written == static_cast<std::size_t>(mSession.Count())) mSession.MarkSaved();
    mNoteLabel->setText(QStringLiteral("Saved %1 to %2").arg(PacketsText(written), QFileInfo(path).fileName()));
    mNoteLabel->show();
    return true;
}

void FormMain::Menu_SavePackets_Click() {
    FlushPendingRows();
    if (mSession.Count() == 0) {
        mEnv.showMessage(QStringLiteral("There are no packets to save."), QMessageBox::Information);
        return;
    }
    const SavePacketsChoice choice = mEnv.chooseSavePackets(this, mModel->rowCount(), mSession.Count());
    if (choice.path.isEmpty()) return;
    SavePackets(choice.path, choice.format, choice.onlyShown);
}

void FormMain::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.front().isLocalFile()) event->acceptProposedAction();
}

void FormMain::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    // Open after the drop has ended, so questions do not run inside the drag.
    const QString path = urls.front().toLocalFile();
    QMetaObject::invokeMethod(this, [this, path] { OpenCommand(path); }, Qt::QueuedConnection);
}

}  // namespace wirelens
