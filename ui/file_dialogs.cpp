#include "ui/file_dialogs.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>

#include "ui/form_main.h"

namespace wirelens {

UnsavedChoice AskUnsavedPackets(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Wirelens"), question,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
        case QMessageBox::Save: return UnsavedChoice::Save;
        case QMessageBox::Discard: return UnsavedChoice::Discard;
        default: return UnsavedChoice::Cancel;
    }
}

bool AskYesNo(QWidget* parent, const QString& question) {
    return QMessageBox::question(parent, QStringLiteral("Wirelens"), question) == QMessageBox::Yes;
}

QString ChooseCaptureFileToOpen(QWidget* parent) {
    return QFileDialog::getOpenFileName(
        parent, QStringLiteral("Open Capture File"), QDir::homePath(),
        QStringLiteral("Capture files (*.pcapng *.pcap *.cap *.ntar *.dmp);;All files (*)"));
}

SavePacketsChoice ChooseSavePacketsTarget(QWidget* parent, std::int64_t shown, std::int64_t stored) {
    // Qt's own dialog, so the choice of packets can sit in it.
    QFileDialog dialog(parent, QStringLiteral("Save Packets As"), QDir::homePath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QString::fromLatin1(kPcapNgFilter), QString::fromLatin1(kPcapFilter)});
    dialog.setDefaultSuffix(QStringLiteral("pcapng"));
    auto* onlyShown = new QCheckBox(
        QStringLiteral("Only the packets the list shows (%1 of %2)").arg(shown).arg(stored), &dialog);
    onlyShown->setEnabled(shown != stored);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        grid->addWidget(onlyShown, grid->rowCount(), 0, 1, -1);
    }
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        dialog.setDefaultSuffix(filter == QString::fromLatin1(kPcapFilter) ? QStringLiteral("pcap")
                                                                           : QStringLiteral("pcapng"));
    });
    SavePacketsChoice choice;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return choice;
    choice.path = dialog.selectedFiles().front();
    // The suffix decides; a name without a known one follows the chosen filter.
    if (choice.path.endsWith(QStringLiteral(".pcap"), Qt::CaseInsensitive)) {
        choice.format = CaptureFileFormat::Pcap;
    } else if (choice.path.endsWith(QStringLiteral(".pcapng"), Qt::CaseInsensitive)) {
        choice.format = CaptureFileFormat::PcapNg;
    } else {
        choice.format = dialog.selectedNameFilter() == QString::fromLatin1(kPcapFilter) ? CaptureFileFormat::Pcap
                                                                                        : CaptureFileFormat::PcapNg;
    }
    choice.onlyShown = onlyShown->isChecked();
    return choice;
}

}  // namespace wirelens
