#pragma once
// The main window: the packet list, the detail views, the splitter, toolbar,
// menus and status bar, and the routines that connect them to the capture and
// the stores. Control names and indexes are the ones every subsystem uses.
#include <QElapsedTimer>
#include <QIcon>
#include <QLockFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "capture/capture_pump.h"
#include "capture/capture_stream.h"
#include "capture/choose_local_ip.h"
#include "capture/decode.h"
#include "capture/local_addresses.h"
#include "capture/raw_datagram_store.h"
#include "files/capture_file.h"
#include "hook/sub_cls.h"
#include "packets/capture_session.h"
#include "packets/display_filter.h"
#include "packets/packet_find.h"

class QAction;
class QDockWidget;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QStatusBar;
class QToolBar;
class QTableView;
class QTreeWidget;
class QProgressDialog;

namespace wirelens {

class PacketListModel;
class SplitterBar;
class ImageList;
class ClientArea;

// Twips (1440 per inch) to logical pixels at 96 dpi.
constexpr int Px(int twips) { return (twips + 7) / 15; }
constexpr int Twips(int px) { return px * 15; }

struct TwipsRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

enum class UnsavedChoice { Save, Discard, Cancel };

struct SavePacketsChoice {
    QString path;  // empty: cancelled
    CaptureFileFormat format = CaptureFileFormat::PcapNg;
    bool onlyShown = false;  // only the packets the list shows now
};

class CaptureFileLoader;
struct LoadOutcome;

// What the window says when the session stops filing packets: while capturing
// (no file named) or while reading the named file or stream.
QString FilingStopMessage(FilingStop why, const CaptureSession& session, const QString& readingFile = QString());

class FormMain : public QMainWindow, public iSubCls {
    Q_OBJECT
public:
    // What the window needs from its surroundings; tests replace these.
    struct Environment {
        // Shows a message box with the caption "Wirelens".
        std::function<void(const QString& text, QMessageBox::Icon icon)> showMessage;
        // The interface list ("address;mask" entries); returns 0 or an errno.
        std::function<int(std::vector<std::string>&)> listLocalAddresses;
        // Settles the capture address from dicAddr, asking the user when there are several.
        std::function<LocalIpChoice(const LocalAddressSet&, QWidget*)> chooseAddress;
        // The lock that keeps a second instance from starting; empty: the per-user default.
        QString lockFilePath;
        // Packets not saved would be lost: save them first, discard them, or cancel.
        std::function<UnsavedChoice(QWidget* parent, const QString& question)> askUnsaved;
        // A yes/no question (stop the capture to open a file?); true: go on.
        std::function<bool(QWidget* parent, const QString& question)> confirm;
        // Picks a capture file to open; empty means cancelled.
        std::function<QString(QWidget* parent)> chooseCaptureFile;
        // Picks where to save the packets, the format and which packets.
        std::function<SavePacketsChoice(QWidget* parent, std::int64_t shown, std::int64_t stored)> chooseSavePackets;
        static Environment Default();
    };

    explicit FormMain(Environment env = Environment::Default(), QWidget* parent = nullptr);
    ~FormMain() override;

    // The start-up sequence. false: another instance runs and this one must end.
    bool Form_Load();

    // --- packet pipeline -------------------------------------------------
    // One captured datagram: decode, keep its bytes, file its record (through the session).
    void IngestDatagram(std::span<const std::uint8_t> bytes, std::int64_t seconds, std::uint32_t microseconds);
    void IngestDatagram(std::span<const std::uint8_t> bytes, PacketTime time, std::uint32_t wireLength);
    void AddPacket(std::uint8_t Proto, std::uint32_t SrcAddr, std::uint32_t DestAddr,
                   std::optional<std::uint16_t> SrcPort, std::optional<std::uint16_t> DestPort,
                   std::uint32_t Data, std::int32_t Size, PacketTime Hora);
    void AddPacketRow(std::int32_t key, const clV& record);
    void ClearPackets();
    void SetListViewMode();
    void RefreshPacketList();
    // Applies a list view mode choice (does nothing when `mode` is current).
    void ChooseListViewMode(std::int32_t mode);
    // Inserts queued rows and updates the count text now instead of at the next turn.
    void FlushPendingRows();

    // --- capture files -----------------------------------------------------
    void Menu_Open_Click();
    void Menu_SavePackets_Click();
    // Clear as a command: asks before unsaved packets are thrown away.
    void Menu_Clear_Click();
    // Opens a capture file, or a pcap/pcapng stream when `path` is "-" or a FIFO.
    // Asks nothing; false when it is no capture file (nothing changes then).
    bool OpenCaptureFile(const QString& path);
    bool ReadCaptureStream(int fd, const QString& name);
    // Writes the packets; false (and told) on failure.
    bool SavePackets(const QString& path, CaptureFileFormat format, bool onlyShown);
    bool IsReadingFile() const;
    // Unsaved packets are saved, discarded or kept by the user's answer;
    // true when the command that asked may go on.
    bool AskToKeepPackets(const QString& question);
    // The file or stream shown, or empty.
    QString ShownFile() const { return mShownFile; }

    // --- capture control -------------------------------------------------
    void StartCapture();
    // Starts a capture on `address` without asking which (the -i option).
    void StartCaptureOn(const std::string& address);
    // A tcpdump expression the next captures give the helper (the -f option, or
    // the address dialog's field); empty: none. The dialog offers it next time.
    void SetCaptureFilter(std::string expression);
    const std::string& CaptureFilter() const { return mCaptureFilter; }
    // Only packets this accepts are filed from files and streams opened later
    // (-r FILE -f EXPR); empty: every packet.
    void SetReadFilter(std::function<bool(std::span<const std::uint8_t>, std::uint32_t)> keep) {
        mReadFilter = std::move(keep);
    }
    void StopCapture();
    bool IsCapturing() const { return mCaptureOpen; }
    std::uint64_t KernelDrops() const { return mKernelDrops; }
    // What the helper's capture sockets took in, from its last report
    // (dropped ones included): set beside the packets filed, it tells where
    // a datagram that never became a row went missing.
    std::uint64_t KernelReceived() const { return mKernelReceived; }
    // Bytes the helper has handed over that the window has not filed yet:
    // in the capture socket, and read by the pump.
    std::size_t CaptureBytesWaiting() const;
    // The most memory the capture's frames took while waiting for the list (benchmarks).
    std::size_t CapturePumpPeakBytes() const { return mPump ? mPump->PeakBytes() : 0; }
    std::size_t CaptureRingPeakBytes() const { return mPump ? mPump->RingPeakBytes() : 0; }
    std::uint64_t CaptureRingBytesPublished() const { return mPump ? mPump->RingBytesPublished() : 0; }
    std::uint64_t CaptureRingBytesTaken() const { return mPump ? mPump->RingBytesTaken() : 0; }
    // The stretches this capture took no frames because the store's writer
    // was full (a disk behind the capture), for benchmarks.
    struct WriterWaits {
        std::uint64_t stretches = 0;
        double longestMs = 0;
        double totalMs = 0;
    };
    const WriterWaits& CaptureWriterWaits() const { return mWriterWaits; }

    // --- detail views and commands ---------------------------------------
    void lv_ItemClick(int row);
    void Menu_Text_Click();
    void Menu_Hex_Click();
    void Menu_Save_Click();
    void Menu_About_Click();
    void Menu_Exit_Click();
    void Toolbar1_ButtonClick(int index);
    void Toolbar1_ButtonMenuClick(int parentIndex, int entryIndex);
    // Shows the about box; tests replace it to avoid a modal loop.
    std::function<void()> showAboutBox;
    // Picks the report file name; empty means cancelled. Tests replace it.
    std::function<QString(QWidget*, const QString& appFolder)> chooseSaveFileName;

    // --- display filter, sorting, finding, export ---------------------------
    // Compiles and applies a tcpdump expression (blank: no filter), rebuilding
    // the list like a mode change. An invalid one marks the field with
    // libpcap's message and leaves the list as it is; returns whether applied.
    bool ApplyDisplayFilter(const QString& expression);
    QString DisplayFilterExpression() const;
    // libpcap's message while the field holds an invalid expression; else empty.
    QString FilterError() const { return mFilterError; }
    // A click on a column header: ascending, then descending, then capture order.
    void lv_ColumnClick(int column);
    // Finds with the find field's text and kind from the selected row; selects the match.
    bool FindPacket(FindDirection direction);
    // Selects the packet with this sequence number.
    bool GoToPacket(std::int32_t sequence);
    // "Filter on this": the cell's expression joined to the field's, applied.
    void FilterOnCell(const QModelIndex& cell, FilterJoin join);
    // The clipboard texts of a row.
    QString RowText(int row, bool csv) const;
    QString RowBytesHex(int row) const;
    QString RowDataText(int row) const;
    // Writes the rows the list shows, with a header line, as CSV.
    bool ExportRowsCsv(const QString& path, QString* error);
    void Menu_ExportCsv_Click();
    void Menu_GoTo_Click();
    // Picks the CSV file name (empty: cancelled) and asks for a packet number; tests replace them.
    std::function<QString(QWidget*)> chooseCsvFileName;
    std::function<std::optional<std::int32_t>(QWidget*)> askPacketNumber;
    // Whether new rows are kept in view during a capture right now.
    bool FollowingNewRows() const;
    QString NoticeText() const;
    QString ListedText() const;
    // Builds the row context menu for a cell (the caller shows and deletes it).
    QMenu* RowContextMenu(const QModelIndex& cell);

    // --- layout ----------------------------------------------------------
    void Form_Resize();
    void PicSplit_MouseMove(Qt::MouseButtons button, int x, int y);  // x, y in twips

    // --- iSubCls ---------------------------------------------------------
    void Despues(LResult& lReturn, QObject* hwnd, int uMsg, quintptr wParam, qintptr lParam) override;
    void Antes(LResult& lHandled, LResult& lReturn, QObject* hwnd, int uMsg, quintptr wParam,
               qintptr lParam) override;

    // --- state other parts read -------------------------------------------
    LocalAddressSet dicAddr;
    std::string LocalIP;
    QString AppFolder;
    std::int32_t ListViewModeValue() const { return mSession.ListViewMode(); }
    const PacketStore& Packets() const { return mSession.Packets(); }
    const RawDatagramStore& RawDatagrams() const { return mSession.Raw(); }
    CaptureSession& Session() { return mSession; }
    const CaptureSession& Session() const { return mSession; }
    PacketListModel* Model() const { return mModel; }

    // Controls, by their names.
    QTableView* lv = nullptr;
    QTreeWidget* ListViewHEX = nullptr;
    QPlainTextEdit* txtData = nullptr;
    // The true decode's field tree of the selected packet, in a dock that starts
    // floating beside the window (the user may dock it).
    QTreeWidget* TreeDetails = nullptr;
    QDockWidget* DockDetails = nullptr;
    SplitterBar* PicSplit = nullptr;
    QStatusBar* stB = nullptr;
    QToolBar* Toolbar1 = nullptr;
    ImageList* ImageList2 = nullptr;  // K1..K9
    QMenu* Menu_File = nullptr;
    QAction* Menu_Start = nullptr;
    QAction* Menu_Stop = nullptr;
    QAction* Menu_Clear = nullptr;
    QAction* Menu_Save = nullptr;
    QAction* Menu_x2 = nullptr;
    QAction* Menu_Open = nullptr;
    QAction* Menu_SavePackets = nullptr;
    QAction* Menu_x1 = nullptr;
    QAction* Menu_Exit = nullptr;
    QMenu* Menu_ListView = nullptr;
    QAction* Menu_All = nullptr;
    QAction* Menu_Received = nullptr;
    QAction* Menu_Sent = nullptr;
    QAction* Menu_TCP = nullptr;
    QAction* Menu_UDP = nullptr;
    QAction* Menu_ICMP = nullptr;
    QMenu* Menu_PacketView = nullptr;
    QAction* Menu_Text = nullptr;
    QAction* Menu_Hex = nullptr;
    QAction* Menu_ExportCsv = nullptr;
    QMenu* Menu_View = nullptr;
    QAction* Menu_AutoScroll = nullptr;
    QAction* Menu_Find = nullptr;
    QAction* Menu_FindPrevious = nullptr;
    QAction* Menu_GoTo = nullptr;
    QComboBox* cboFilter = nullptr;
    QComboBox* cboFindKind = nullptr;
    QLineEdit* txtFind = nullptr;
    QMenu* Menu_Help = nullptr;
    QAction* Menu_About = nullptr;

    // Status panel 1..5 text.
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    // Toolbar button 1..10 (separators included).
    QAction* Button(int index) const;
    // Drop-down entries of buttons 5 and 6: text and tag.
    QAction* ButtonMenu(int button, int entry) const;
    // Images K1..K9 of the image list, by index 1..9.
    QIcon Image(int index) const;
    QLabel* DropCountLabel() const { return mDropLabel; }
    QLabel* NoteLabel() const { return mNoteLabel; }
    // Layout state in twips.
    TwipsRect Geometry(const QWidget* control) const;
    int ClientWidthTwips() const;
    int ClientHeightTwips() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    friend class ClientArea;
    void BuildControls();
    void BuildMenus();
    void BuildToolbar();
    void LoadToolbarImages();
    void ChooseLocalIP();
    void ApplyGeometry();
    void LayoutAlignedBars();
    void EnterCapturingState();
    void EnterIdleState(const QString& stateText, bool disableClear);
    void CloseSequence();
    void DrainCapture();
    void CaptureEnded(const QString& why);
    void ReadCapture();
    // False, and a writer wait begun, while the store's writer is full;
    // true once it has room, the wait (if any) then counted.
    bool StoreWriterHasRoom();
    void EndWriterWait();
    void CaptureEndedBy(CapturePump::End end);
    void WatchStoreWrites();
    void HandleFrame(const Frame& frame);
    void Form_Unload();
    void StartLoader(int fd, bool stream, std::uint64_t size, const QString& name);
    void LoaderFinished(const LoadOutcome& outcome);
    void StopReadingFile();
    bool OpenCommand(const QString& path);
    void UpdateCountText();
    void ShowPacketViews(int row);
    void BuildDetailsPane();
    void ShowPacketDetailsOf(int row);
    void ClearPacketDetailsPane();
    void TreeDetails_ItemSelected();
    void BuildFilterBar();
    void BuildViewMenu();
    void SetShortcuts();
    void UpdateListedText();
    void UpdateSaveEnabled();
    void ShowNotice(const QString& text);
    void FollowNewRows();
    void SelectRow(int row);
    void RememberFilter(const QString& expression);
    TwipsRect& RectOf(const QWidget* control);

    Environment mEnv;
    std::unique_ptr<QLockFile> mInstanceLock;
    cSubCls mSubCls;
    CaptureSession mSession;
    PacketListModel* mModel = nullptr;
    bool mUnloaded = false;
    CaptureFileLoader* mLoader = nullptr;
    QString mShownFile;
    QPointer<QProgressDialog> mProgress;
    std::string mPresetAddress;  // the -i address for the next Start
    std::string mCaptureFilter;
    std::function<bool(std::span<const std::uint8_t>, std::uint32_t)> mReadFilter;
    FilingStop mReadRefusal = FilingStop::None;  // why reading stopped filing, if it did

    // The capture descriptor is open and registered for notifications.
    bool mCaptureOpen = false;
    // Reads the capture socket on its own thread; the window takes its frames.
    std::unique_ptr<CapturePump> mPump;
    std::uint64_t mKernelDrops = 0;
    std::uint64_t mKernelReceived = 0;
    // While the capture waits for frames, asks whether the bytes filed last
    // have reached the store's file: a full disk ends the capture even when
    // no further datagram comes to be refused.
    QTimer* mStoreWatch = nullptr;
    // While the store's writer has its fill, frames wait in the capture's
    // ring rather than the window in the writer: this takes them up again.
    QTimer* mWriterWait = nullptr;
    QElapsedTimer mWriterFullSince;  // invalid while the writer has room
    WriterWaits mWriterWaits;

    ClientArea* mClient = nullptr;
    std::array<QLabel*, 6> mPanels{};
    QLabel* mDropLabel = nullptr;
    QLabel* mNoteLabel = nullptr;  // what the last open or save has to tell
    QLabel* mListedLabel = nullptr;
    QLabel* mNoticeLabel = nullptr;
    std::shared_ptr<const DisplayFilter> mFilter;
    QString mFilterError;
    // The user scrolled away from the end or selected a row during a capture.
    bool mFollowPaused = false;
    bool mScrollingToEnd = false;
    std::array<QAction*, 11> mButtons{};
    std::array<std::array<QAction*, 7>, 7> mButtonMenus{};
    TwipsRect mLvRect, mHexRect, mTxtRect, mSplitRect, mDummyRect;
    // Which datagram bytes the hex view shows for the selected packet.
    int mHexViewOffset = 0;
    int mHexViewLength = 0;
    bool mDetailsPlaced = false;  // the details pane was put beside the window once
};

}  // namespace wirelens
