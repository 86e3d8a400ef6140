#pragma once
// A main window wired to test doubles: a fixed interface list, recorded
// message boxes, a private instance lock.
#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/mdlwinsock.h"
#include "ui/form_main.h"

namespace wirelens::testing {

// Makes the window's capture helper a stand-in that sends `stream` (frames as
// the real helper writes them), then waits to be ended: the road from the
// stream to the rows without capture privileges. Undo with SetCaptureHelperPath("").
inline bool UseStandInHelper(const QTemporaryDir& folder, const std::vector<std::uint8_t>& stream) {
    QFile frames(folder.filePath(QStringLiteral("frames.bin")));
    if (!frames.open(QIODevice::WriteOnly)) return false;
    frames.write(reinterpret_cast<const char*>(stream.data()), static_cast<qint64>(stream.size()));
    frames.close();
    QFile helper(folder.filePath(QStringLiteral("wirelens-capture")));
    if (!helper.open(QIODevice::WriteOnly)) return false;
    helper.write(QStringLiteral("#!/bin/sh\ncat '%1'\nexec sleep 60\n").arg(frames.fileName()).toUtf8());
    helper.close();
    helper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SetCaptureHelperPath(helper.fileName().toStdString());
    return true;
}

struct RecordedMessage {
    QString text;
    QMessageBox::Icon icon;
};

class FormMainHarness {
public:
    explicit FormMainHarness(std::vector<std::string> interfaces = {"127.0.0.1;255.0.0.0", "198.51.100.1;255.255.255.0",
                                                                    "203.0.113.1;255.255.255.0"},
                             bool load = true,
                             const std::function<void(FormMain::Environment&)>& adjust = {}) {
        FormMain::Environment env = FormMain::Environment::Default();
        env.showMessage = [this](const QString& text, QMessageBox::Icon icon) { messages.push_back({text, icon}); };
        env.listLocalAddresses = [interfaces](std::vector<std::string>& list) {
            list = interfaces;
            return 0;
        };
        env.lockFilePath = lockDir.path() + QStringLiteral("/wirelens.lock");
        // Questions and file dialogs answer from the harness, never as modal boxes.
        env.askUnsaved = [this](QWidget*, const QString& question) {
            questions.push_back(question);
            return unsavedAnswer;
        };
        env.confirm = [this](QWidget*, const QString& question) {
            questions.push_back(question);
            return confirmAnswer;
        };
        env.chooseCaptureFile = [this](QWidget*) { return openPath; };
        env.chooseSavePackets = [this](QWidget*, std::int64_t, std::int64_t) { return saveChoice; };
        if (adjust) adjust(env);
        window = std::make_unique<FormMain>(env);
        window->showAboutBox = [this] { ++aboutShown; };
        if (load) loaded = window->Form_Load();
    }

    // Rows and the count text as the user would see them after this turn.
    void Settle() {
        QCoreApplication::processEvents();
        window->FlushPendingRows();
    }

    QTemporaryDir lockDir;
    std::vector<RecordedMessage> messages;
    std::vector<QString> questions;
    UnsavedChoice unsavedAnswer = UnsavedChoice::Discard;
    bool confirmAnswer = true;
    QString openPath;
    SavePacketsChoice saveChoice;
    int aboutShown = 0;
    bool loaded = false;
    std::unique_ptr<FormMain> window;
};

}  // namespace wirelens::testing
