#pragma once
// Widget side of the packet detail views and the report: fills ListViewHEX (a
// QTreeWidget with 18 columns) and txtData (a QPlainTextEdit) from the core
// results, reads them back for the report, and runs the save command.
//
// Typical use from the main window:
//   lv click:   ShowClickedPacket(protocol, length, tag, store, txtData, ListViewHEX);
//   clear:      ClearPacketViews(txtData, ListViewHEX);
//   Menu_Save:  SaveReport(this, rowTexts, txtData, ListViewHEX, AppFolder);
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "views/hex_view.h"
#include "views/report.h"

class QFileDialog;
class QPlainTextEdit;
class QTreeWidget;
class QWidget;

namespace wirelens {

class RawDatagramStore;

inline constexpr const char* kReportFileFilter = "Text file (*.txt)";
inline constexpr const char* kReportDefaultSuffix = "txt";
inline constexpr const char* kMessageBoxCaption = "Wirelens";

// Appends one row to ListViewHEX: cells 0..15 from the two-digit pairs of
// hexText (empty past the last pair), "|" in column 16, charText in column 17.
void ShowHexView(QTreeWidget* listViewHex, const QString& hexText, const QString& charText);

// Empties both views (text and every hex row). Call it wherever the packet
// list is cleared or rebuilt.
void ClearPacketViews(QPlainTextEdit* txtData, QTreeWidget* listViewHex);

// Replaces the content of both views by detail (empties them first).
void ShowPacketDetail(const PacketDetail& detail, QPlainTextEdit* txtData, QTreeWidget* listViewHex);

// The click handler of lv in one call: the row's protocol text, its
// "Length (Bytes)" text and its Tag select the data in store; both views are
// refilled whichever of them is visible. Malformed texts leave both empty.
void ShowClickedPacket(const QString& protocolText, const QString& lengthText,
                       const QString& tagText, const RawDatagramStore& store,
                       QPlainTextEdit* txtData, QTreeWidget* listViewHex);

// Sets txtData's content (UTF-8, CR LF line ends). The widget shows it with
// its own line breaks; TextViewContent returns it exactly as given.
void SetTextViewContent(QPlainTextEdit* txtData, const std::string& content);

// txtData's content exactly as set by SetTextViewContent, CR LF pairs
// included. Text put into the widget any other way is returned with CR LF
// line ends.
std::string TextViewContent(const QPlainTextEdit* txtData);

// The rows of ListViewHEX in order, 18 cell texts each (UTF-8).
std::vector<HexViewCells> HexViewRows(const QTreeWidget* listViewHex);

// Packet list row texts from a list of the row text and sub-items 1 to 6;
// missing entries are empty.
PacketRowTexts RowTextsFromList(const QStringList& texts);

// --- The save command (Menu_Save) ---

enum class SaveReportOutcome {
    NothingSelected,  // empty row text: no dialog, no file
    Cancelled,        // the dialog gave no name: nothing written
    Saved,
    Failed,           // the user was told why; no report was written
};

struct SaveReportResult {
    SaveReportOutcome outcome = SaveReportOutcome::NothingSelected;
    QString path;   // the file written or attempted
    QString error;  // what failed, with the system's reason
};

// Returns the chosen file name, or an empty text for a cancel.
using ReportPathChooser = std::function<QString(QWidget* parent, const QString& initialFolder)>;
// Tells the user that the save failed.
using SaveErrorNotifier = std::function<void(QWidget* parent, const QString& message)>;

// Applies the save dialog's settings: save mode, the single filter
// "Text file (*.txt)", initialFolder, default suffix "txt", no overwrite question.
void ConfigureReportDialog(QFileDialog& dialog, const QString& initialFolder);
// The real save dialog, modal to parent, opened afresh in initialFolder each time.
QString ChooseReportPath(QWidget* parent, const QString& initialFolder);
// A warning box with the caption "Wirelens".
void ShowSaveError(QWidget* parent, const QString& message);

// The handler of Menu_Save. Does nothing when row.protocol is empty; asks
// for a file name starting in appFolder; writes the report of row and of the
// views' current content, replacing any file of that name; a name without
// an extension gets ".txt". A failure is reported through notifyError.
SaveReportResult SaveReport(QWidget* parent, const PacketRowTexts& row,
                            const QPlainTextEdit* txtData, const QTreeWidget* listViewHex,
                            const QString& appFolder,
                            const ReportPathChooser& choosePath = ChooseReportPath,
                            const SaveErrorNotifier& notifyError = ShowSaveError);

}  // namespace wirelens
