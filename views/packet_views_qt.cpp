#include "views/packet_views_qt.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTreeWidget>

#include "capture/raw_datagram_store.h"

namespace wirelens {
namespace {

// The widget turns CR, LF and CR LF alike into block breaks, so the exact
// content lives beside it, with a snapshot of the document it produced to
// notice when the widget was changed some other way (e.g. clear()).
constexpr const char* kContentProperty = "wirelensTextViewContent";
constexpr const char* kSnapshotProperty = "wirelensTextViewSnapshot";

QTreeWidgetItem* NewHexItem(const QString& hexText, const QString& charText) {
    QStringList cells;
    cells.reserve(kHexViewColumnCount);
    for (int i = 0; i < kHexBytesPerRow; ++i) {
        cells << (2 * i + 1 < hexText.size() ? hexText.mid(2 * i, 2) : QString());
    }
    cells << QString::fromLatin1(kHexBarText.data(), static_cast<qsizetype>(kHexBarText.size()))
          << charText;
    return new QTreeWidgetItem(cells);
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void ShowHexView(QTreeWidget* listViewHex, const QString& hexText, const QString& charText) {
    if (listViewHex == nullptr) return;
    listViewHex->addTopLevelItem(NewHexItem(hexText, charText));
}

void ClearPacketViews(QPlainTextEdit* txtData, QTreeWidget* listViewHex) {
    if (txtData != nullptr) SetTextViewContent(txtData, {});
    if (listViewHex != nullptr) listViewHex->clear();
}

void ShowPacketDetail(const PacketDetail& detail, QPlainTextEdit* txtData, QTreeWidget* listViewHex) {
    ClearPacketViews(txtData, listViewHex);
    if (listViewHex != nullptr && !detail.hexRows.empty()) {
        QList<QTreeWidgetItem*> items;
        items.reserve(static_cast<qsizetype>(detail.hexRows.size()));
        for (const auto& row : detail.hexRows) {
            items << NewHexItem(QString::fromLatin1(row.hexText.data(),
                                                    static_cast<qsizetype>(row.hexText.size())),
                                FromUtf8(row.charText));
        }
        listViewHex->addTopLevelItems(items);  // one insertion for the whole packet
    }
    if (txtData != nullptr) SetTextViewContent(txtData, detail.text);
}

void ShowClickedPacket(const QString& protocolText, const QString& lengthText,
                       const QString& tagText, const RawDatagramStore& store,
                       QPlainTextEdit* txtData, QTreeWidget* listViewHex) {
    ShowPacketDetail(BuildPacketDetail(protocolText.toStdString(), lengthText.toStdString(),
                                       tagText.toStdString(), store),
                     txtData, listViewHex);
}

void SetTextViewContent(QPlainTextEdit* txtData, const std::string& content) {
    if (txtData == nullptr) return;
    txtData->setPlainText(FromUtf8(content));
    txtData->setProperty(kContentProperty, QByteArray::fromStdString(content));
    txtData->setProperty(kSnapshotProperty, txtData->document()->toRawText());
}

std::string TextViewContent(const QPlainTextEdit* txtData) {
    if (txtData == nullptr) return {};
    const QVariant content = txtData->property(kContentProperty);
    if (content.isValid() &&
        txtData->property(kSnapshotProperty).toString() == txtData->document()->toRawText()) {
        return content.toByteArray().toStdString();
    }
    QString text = txtData->toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return text.toStdString();
}

std::vector<HexViewCells> HexViewRows(const QTreeWidget* listViewHex) {
    std::vector<HexViewCells> rows;
    if (listViewHex == nullptr) return rows;
    const int count = listViewHex->topLevelItemCount();
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
        const QTreeWidgetItem* item = listViewHex->topLevelItem(r);
        HexViewCells& cells = rows.emplace_back();
        for (int c = 0; c < kHexViewColumnCount; ++c) {
            cells[static_cast<std::size_t>(c)] = item->text(c).toStdString();
        }
    }
    return rows;
}

PacketRowTexts RowTextsFromList(const QStringList& texts) {
    const auto at = [&texts](int i) { return texts.value(i).toStdString(); };
    return {at(0), at(1), at(2), at(3), at(4), at(5), at(6)};
}

void ConfigureReportDialog(QFileDialog& dialog, const QString& initialFolder) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QString::fromLatin1(kReportFileFilter)});
    dialog.setDefaultSuffix(QString::fromLatin1(kReportDefaultSuffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setDirectory(initialFolder);
}

QString ChooseReportPath(QWidget* parent, const QString& initialFolder) {
    QFileDialog dialog(parent);
    ConfigureReportDialog(dialog, initialFolder);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles().value(0);
}

void ShowSaveError(QWidget* parent, const QString& message) {
    QMessageBox::warning(parent, QString::fromLatin1(kMessageBoxCaption), message);
}

SaveReportResult SaveReport(QWidget* parent, const PacketRowTexts& row,
                            const QPlainTextEdit* txtData, const QTreeWidget* listViewHex,
                            const QString& appFolder, const ReportPathChooser& choosePath,
                            const SaveErrorNotifier& notifyError) {
    SaveReportResult result;
    if (row.protocol.empty()) return result;

    result.path = choosePath ? choosePath(parent, appFolder) : QString();
    if (result.path.isEmpty()) {
        result.outcome = SaveReportOutcome::Cancelled;
        return result;
    }
    // The dialog adds the suffix itself; a chooser that does not gets the same rule.
    const QFileInfo chosen(result.path);
    if (!chosen.isDir() && !chosen.fileName().isEmpty() && !chosen.fileName().contains(QLatin1Char('.'))) {
        result.path += QLatin1Char('.') + QString::fromLatin1(kReportDefaultSuffix);
    }

    const auto hexRows = HexViewRows(listViewHex);
    const std::string report = BuildReport(row, TextViewContent(txtData), hexRows);
    if (const auto error = WriteReportFile(QFile::encodeName(result.path).toStdString(), report)) {
        result.outcome = SaveReportOutcome::Failed;
        result.error = FromUtf8(*error);
        if (notifyError) {
            notifyError(parent, QStringLiteral("The packet data was not saved.\n\n%1").arg(result.error));
        }
        return result;
    }
    result.outcome = SaveReportOutcome::Saved;
    return result;
}

}  // namespace wirelens
