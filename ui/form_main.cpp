#include "ui/form_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QShowEvent>
#include <QDir>
#include <QFontDatabase>
#include <QHeaderView>
#include <QDockWidget>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QTableView>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>

#include "capture/choose_local_ip.h"
#include "capture/form_ip.h"
#include "capture/mdlwinsock.h"
#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "ui/capture_file_loader.h"
#include "ui/file_dialogs.h"
#include "ui/form_main_parts.h"
#include "ui/frm_about.h"
#include "ui/packet_row_delegate.h"
#include "ui/packet_table_view.h"
#include "ui/scroll_bar_paint_cache.h"
#include "views/packet_views_qt.h"

// The icons are compiled into the static Qt library, which must register them itself.
static void InitWindowResources() { Q_INIT_RESOURCE(resources); }

namespace wirelens {

namespace {
constexpr int kClientWidth = 9390;
constexpr int kClientHeight = 6360;
constexpr int kToolbarHeight = 420;
constexpr int kStatusBarHeight = 315;
constexpr int kSplitterMinTop = 3000;     // the splitter stays this far below the client top
constexpr int kSplitterMinBottom = 1500;  // ... and this far above the window's bottom edge
// A 4 MiB write takes a few milliseconds; a full disk shows within a frame or two.
constexpr int kStoreWatchMs = 20;
// How soon frames are taken again after the store's writer had its fill.
constexpr int kWriterWaitMs = 2;

struct ColumnDesign {
    const char* header;
    int width;
};
constexpr ColumnDesign kListColumns[] = {
    {"Protocol", 1300}, {"Source IP", 1700}, {"Source Port", 1200}, {"Destination IP", 1700},
    {"Destination Port", 1700}, {"Length (Bytes)", 1440}, {"Start Time", 1500}, {"Info", 9000}};
static_assert(std::size(kListColumns) == PacketListModel::kColumnCount);
// The details pane starts as a window of this width beside the main window,
// so that the client area and everything laid out in it keep their sizes.
constexpr int kDetailsPaneWidth = 5000;
constexpr int kPanelWidths[5] = {1840, 1840, 2240, 2240, 1440};
constexpr int kHexCharColumnWidth = 2260;
constexpr int kStatusBarSlack = 20;  // pixels of the bar's own margins and spacing

// Room for a full row's character text in the view's font: 16 of its widest
// character, and the item's text margins.
int HexCharColumnWidth(const QWidget* view) {
    const QFontMetrics metrics(view->font());
    int widest = 0;
    for (int byte = 32; byte < 256; ++byte) {
        const std::string_view character = PrintableCharacter(static_cast<std::uint8_t>(byte));
        widest = std::max(widest, metrics.horizontalAdvance(
                                      QString::fromUtf8(character.data(), static_cast<qsizetype>(character.size()))));
    }
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return std::max(Px(kHexCharColumnWidth), kHexBytesPerRow * widest + 2 * margin);
}
}  // namespace

// ---------------------------------------------------------------------------
// Helper widgets

ClientArea::ClientArea(FormMain* owner) : QWidget(owner), mOwner(owner) {}

void ClientArea::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    mOwner->LayoutAlignedBars();
    mOwner->Form_Resize();
}

SplitterBar::SplitterBar(QWidget* parent) : QFrame(parent) {
    setCursor(Qt::SizeVerCursor);
    setFrameShape(QFrame::Box);
}

void SplitterBar::mouseMoveEvent(QMouseEvent* event) {
    if (onMouseMove) {
        const QPoint p = event->position().toPoint();
        onMouseMove(event->buttons(), Twips(p.x()), Twips(p.y()));
    }
    QFrame::mouseMoveEvent(event);
}

StatusPanel::StatusPanel(int designWidthPx, QWidget* parent) : QLabel(parent), mDesignWidth(designWidthPx) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QSize StatusPanel::sizeHint() const {
    const QSize text = QLabel::sizeHint();
    return {std::max(mDesignWidth, text.width()), text.height()};
}

QSize StatusPanel::minimumSizeHint() const {
    return QLabel::sizeHint();
}

// ---------------------------------------------------------------------------

FormMain::Environment FormMain::Environment::Default() {
    Environment env;
    env.showMessage = [](const QString& text, QMessageBox::Icon icon) {
        QMessageBox box(icon, QStringLiteral("Wirelens"), text, QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    env.listLocalAddresses = [](std::vector<std::string>& list) { return ListLocalAddresses(list); };
    env.chooseAddress = [](const LocalAddressSet& dicAddr, QWidget* parent) { return ChooseCaptureAddress(dicAddr, parent); };
    env.askUnsaved = AskUnsavedPackets;
    env.confirm = AskYesNo;
    env.chooseCaptureFile = ChooseCaptureFileToOpen;
    env.chooseSavePackets = ChooseSavePacketsTarget;
    return env;
}

FormMain::FormMain(Environment env, QWidget* parent)
    : QMainWindow(parent), mEnv(std::move(env)) {
    InitWindowResources();
    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("Wirelens"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/wirelens.png")));
    SetDecimalSeparator(QLocale::system().decimalPoint().toStdString());
    BuildControls();
    BuildMenus();
    BuildToolbar();
    BuildFilterBar();
    BuildViewMenu();
    SetShortcuts();
    showAboutBox = [this] { FrmAbout::ShowModal(this); };
    chooseSaveFileName = ChooseReportPath;
    resize(Px(kClientWidth), Px(kClientHeight) + menuBar()->sizeHint().height());
    BuildDetailsPane();
    mStoreWatch = new QTimer(this);
    mStoreWatch->setSingleShot(true);
    mStoreWatch->setInterval(kStoreWatchMs);
    connect(mStoreWatch, &QTimer::timeout, this, [this] {
        if (!mCaptureOpen) return;
        if (!mSession.CheckStoreWrites()) return CaptureEnded(FilingStopMessage(FilingStop::DiskFull, mSession));
        WatchStoreWrites();
    });
    mWriterWait = new QTimer(this);
    mWriterWait->setSingleShot(true);
    mWriterWait->setInterval(kWriterWaitMs);
    connect(mWriterWait, &QTimer::timeout, this, [this] {
        if (mCaptureOpen) ReadCapture();
    });
}

void FormMain::BuildDetailsPane() {
    DockDetails = new QDockWidget(QStringLiteral("Packet Details"), this);
    DockDetails->setObjectName(QStringLiteral("DockDetails"));
    DockDetails->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    TreeDetails = new QTreeWidget(DockDetails);
    TreeDetails->setObjectName(QStringLiteral("TreeDetails"));
    TreeDetails->setColumnCount(1);
    TreeDetails->setHeaderHidden(true);
    TreeDetails->setUniformRowHeights(true);
    TreeDetails->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(TreeDetails, &QTreeWidget::itemSelectionChanged, this, [this] { TreeDetails_ItemSelected(); });
    DockDetails->setWidget(TreeDetails);
    addDockWidget(Qt::RightDockWidgetArea, DockDetails);
    DockDetails->setFloating(true);
}

void FormMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (mDetailsPlaced || !DockDetails->isFloating()) return;
    mDetailsPlaced = true;
    // The frame is known only once the show has been handled.
    QMetaObject::invokeMethod(
        this,
        [this] {
            DockDetails->setGeometry(frameGeometry().right() + 1, geometry().top(), Px(kDetailsPaneWidth), height());
            DockDetails->show();
        },
        Qt::QueuedConnection);
}

FormMain::~FormMain() {
    Form_Unload();
}

void FormMain::BuildControls() {
    mClient = new ClientArea(this);
    setCentralWidget(mClient);

    // Creation order: status bar, list, hex view, text view, splitter, toolbar.
    stB = new QStatusBar(mClient);
    stB->setObjectName(QStringLiteral("stB"));
    stB->setSizeGripEnabled(false);
    for (int i = 1; i <= 5; ++i) {
        auto* panel = new StatusPanel(Px(kPanelWidths[i - 1]), stB);
        panel->setObjectName(QStringLiteral("stB_panel%1").arg(i));
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
        // The fifth panel takes the width that remains.
        stB->addWidget(panel, i == 5 ? 1 : 0);
        mPanels[static_cast<std::size_t>(i)] = panel;
    }
    // Shown only once the kernel has dropped datagrams, so a loss is never silent.
    mDropLabel = new QLabel(stB);
    mDropLabel->setObjectName(QStringLiteral("stB_drops"));
    mDropLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    stB->addPermanentWidget(mDropLabel);
    mDropLabel->hide();
    mNoteLabel = new QLabel(stB);
    mNoteLabel->setObjectName(QStringLiteral("stB_note"));
    stB->addPermanentWidget(mNoteLabel);
    mNoteLabel->hide();

    mSession.SetMachineAddresses(&dicAddr);
    mSession.onRowAdmitted = [this](std::int32_t key, const clV& record) { AddPacketRow(key, record); };
    mModel = new PacketListModel(mSession, this);
    connect(mModel, &PacketListModel::RowsFlushed, this, [this](qint64) { UpdateCountText(); });

    // A table that places its rows by number: inserting into millions of
    // rows costs the same as into a few.
    lv = new PacketTableView(mClient);
    lv->setObjectName(QStringLiteral("lv"));
    lv->setModel(mModel);
    lv->setItemDelegate(new PacketRowDelegate(*mModel, lv));
    ScrollBarPaintCache::Install(*lv);
    lv->setShowGrid(false);
    lv->setWordWrap(false);
    lv->setCornerButtonEnabled(false);
    lv->setSelectionMode(QAbstractItemView::SingleSelection);
    lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv->setIconSize(QSize(16, 16));
    lv->verticalHeader()->hide();
    lv->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lv->verticalHeader()->setDefaultSectionSize(lv->fontMetrics().height() + 4);
    lv->horizontalHeader()->setStretchLastSection(false);
    lv->horizontalHeader()->setSectionsMovable(false);
    lv->horizontalHeader()->setHighlightSections(false);
    for (int c = 0; c < PacketListModel::kColumnCount; ++c) lv->setColumnWidth(c, Px(kListColumns[c].width));
    connect(lv, &QTableView::clicked, this, [this](const QModelIndex& index) { lv_ItemClick(index.row()); });
    // Selecting a row with the keyboard shows its packet as a click does. Qt's own
    // moves of the current row (focus coming back, a rebuild) select nothing, so
    // they show nothing; a mouse selection is shown by the click on release.
    connect(lv->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                if (selected.isEmpty() || QApplication::mouseButtons() != Qt::NoButton) return;
                lv_ItemClick(selected.indexes().constFirst().row());
            });
    mLvRect = {30, 420, 8340, 4065};

    ListViewHEX = new QTreeWidget(mClient);
    ListViewHEX->setObjectName(QStringLiteral("ListViewHEX"));
    ListViewHEX->setColumnCount(18);
    QStringList hexHeaders;
    for (int i = 0; i < 16; ++i) hexHeaders << QStringLiteral("%1").arg(i, 2, 16, QLatin1Char('0')).toUpper();
    hexHeaders << QString() << QStringLiteral("ASC");
    ListViewHEX->setHeaderLabels(hexHeaders);
    ListViewHEX->setRootIsDecorated(false);
    ListViewHEX->setUniformRowHeights(true);
    ListViewHEX->header()->setStretchLastSection(false);
    ListViewHEX->header()->setMinimumSectionSize(Px(300));
    for (int c = 0; c < 16; ++c) ListViewHEX->setColumnWidth(c, Px(430));
    ListViewHEX->setColumnWidth(16, Px(300));
    ListViewHEX->setColumnWidth(17, HexCharColumnWidth(ListViewHEX));
    mHexRect = {4290, 4875, 4095, 1020};

    txtData = new QPlainTextEdit(mClient);
    txtData->setObjectName(QStringLiteral("txtData"));
    txtData->setReadOnly(true);
    txtData->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtData->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    txtData->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    txtData->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    txtData->hide();  // the packet view starts as Hex|Ascii
    mTxtRect = {30, 4815, 4065, 1035};

    PicSplit = new SplitterBar(mClient);
    PicSplit->setObjectName(QStringLiteral("PicSplit"));
    PicSplit->onMouseMove = [this](Qt::MouseButtons b, int x, int y) { PicSplit_MouseMove(b, x, y); };
    mSplitRect = {30, 4575, 4245, 195};
    // The bar reaches into the detail area; kept under the detail views, only
    // the gap between list and details shows it, and the hex header stays readable.
    PicSplit->stackUnder(ListViewHEX);

    Toolbar1 = new QToolBar(mClient);
    Toolbar1->setObjectName(QStringLiteral("Toolbar1"));
    Toolbar1->setMovable(false);
    Toolbar1->setFloatable(false);
    Toolbar1->setIconSize(QSize(16, 16));
    Toolbar1->setToolButtonStyle(Qt::ToolButtonIconOnly);

    setTabOrder(lv, ListViewHEX);
    setTabOrder(ListViewHEX, txtData);
    ApplyGeometry();
}

void FormMain::BuildMenus() {
    auto addItem = [this](QMenu* menu, const char* name, const char* caption, auto handler) {
        auto* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        // A checkable item must not toggle itself: its check marks follow the
        // modes, set by the handlers alone.
        connect(action, &QAction::triggered, this, [this, action, handler](bool checked) {
            if (action->isCheckable()) action->setChecked(!checked);
            (this->*handler)();
        });
        return action;
    };
    Menu_File = menuBar()->addMenu(QStringLiteral("File"));
    Menu_File->setObjectName(QStringLiteral("Menu_File"));
    Menu_Start = addItem(Menu_File, "Menu_Start", "Start Capture", &FormMain::StartCapture);
    Menu_Stop = addItem(Menu_File, "Menu_Stop", "Stop Capture", &FormMain::StopCapture);
    Menu_Stop->setEnabled(false);
    Menu_Clear = addItem(Menu_File, "Menu_Clear", "Clear", &FormMain::Menu_Clear_Click);
    Menu_Save = addItem(Menu_File, "Menu_Save", "Save selected packet data", &FormMain::Menu_Save_Click);
    Menu_x2 = Menu_File->addSeparator();
    Menu_x2->setObjectName(QStringLiteral("Menu_x2"));
    Menu_Open = addItem(Menu_File, "Menu_Open", "Open...", &FormMain::Menu_Open_Click);
    Menu_Open->setShortcut(QKeySequence::Open);
    Menu_SavePackets = addItem(Menu_File, "Menu_SavePackets", "Save Packets As...", &FormMain::Menu_SavePackets_Click);
    Menu_SavePackets->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+S")));
    Menu_x1 = Menu_File->addSeparator();
    Menu_x1->setObjectName(QStringLiteral("Menu_x1"));
    Menu_Exit = addItem(Menu_File, "Menu_Exit", "Exit", &FormMain::Menu_Exit_Click);

    Menu_ListView = menuBar()->addMenu(QStringLiteral("List View"));
    Menu_ListView->setObjectName(QStringLiteral("Menu_ListView"));
    struct ModeItem {
        QAction** action;
        const char* name;
        std::int32_t mode;
    };
    const ModeItem modeItems[] = {{&Menu_All, "Menu_All", kModeAll},      {&Menu_Received, "Menu_Received", kModeReceived},
                                  {&Menu_Sent, "Menu_Sent", kModeSent},   {&Menu_TCP, "Menu_TCP", kModeTcp},
                                  {&Menu_UDP, "Menu_UDP", kModeUdp},      {&Menu_ICMP, "Menu_ICMP", kModeIcmp}};
    for (const ModeItem& item : modeItems) {
        auto* action = Menu_ListView->addAction(QString::fromLatin1(ListViewModeName(item.mode)));
        action->setObjectName(QString::fromLatin1(item.name));
        action->setCheckable(true);
        const std::int32_t mode = item.mode;
        connect(action, &QAction::triggered, this, [this, action, mode](bool checked) {
            action->setChecked(!checked);
            ChooseListViewMode(mode);
        });
        *item.action = action;
    }
    Menu_All->setChecked(true);

    Menu_PacketView = menuBar()->addMenu(QStringLiteral("Packet View"));
    Menu_PacketView->setObjectName(QStringLiteral("Menu_PacketView"));
    Menu_Text = Menu_PacketView->addAction(QStringLiteral("Text"));
    Menu_Text->setObjectName(QStringLiteral("Menu_Text"));
    Menu_Text->setCheckable(true);
    Menu_Hex = Menu_PacketView->addAction(QStringLiteral("Hex|Ascii"));
    Menu_Hex->setObjectName(QStringLiteral("Menu_Hex"));
    Menu_Hex->setCheckable(true);
    Menu_Hex->setChecked(true);
    connect(Menu_Text, &QAction::triggered, this, [this](bool checked) {
        Menu_Text->setChecked(!checked);
        Menu_Text_Click();
    });
    connect(Menu_Hex, &QAction::triggered, this, [this](bool checked) {
        Menu_Hex->setChecked(!checked);
        Menu_Hex_Click();
    });

    Menu_Help = menuBar()->addMenu(QStringLiteral("Help"));
    Menu_Help->setObjectName(QStringLiteral("Menu_Help"));
    Menu_About = addItem(Menu_Help, "Menu_About", "About", &FormMain::Menu_About_Click);
}

void FormMain::BuildToolbar() {
    struct ButtonDesign {
        int index;
        const char* tip;  // nullptr: a separator
        bool enabled;
    };
    const ButtonDesign buttons[] = {{1, "Start", true},  {2, "Stop", false},  {3, "Clear", true},
                                  {4, nullptr, true},  {5, "Change list view", true},
                                  {6, "Change packet view", true},        {7, nullptr, true},
                                  {8, "Save", true},   {9, nullptr, true},  {10, "About", true}};
    for (const ButtonDesign& design : buttons) {
        QAction* action = nullptr;
        if (design.tip == nullptr) {
            action = Toolbar1->addSeparator();
        } else {
            action = Toolbar1->addAction(QString());
            action->setToolTip(QString::fromLatin1(design.tip));
            action->setEnabled(design.enabled);
            const int index = design.index;
            connect(action, &QAction::triggered, this, [this, index] { Toolbar1_ButtonClick(index); });
        }
        action->setObjectName(QStringLiteral("Toolbar1_button%1").arg(design.index));
        mButtons[static_cast<std::size_t>(design.index)] = action;
    }

    auto addButtonMenu = [this](int button, const std::vector<std::pair<QString, QString>>& entries) {
        auto* menu = new QMenu(this);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            auto* entry = menu->addAction(entries[i].first);
            entry->setData(entries[i].second);  // the entry's tag: its bare name
            const int entryIndex = static_cast<int>(i) + 1;
            connect(entry, &QAction::triggered, this,
                    [this, button, entryIndex] { Toolbar1_ButtonMenuClick(button, entryIndex); });
            mButtonMenus[static_cast<std::size_t>(button)][static_cast<std::size_t>(entryIndex)] = entry;
        }
        QAction* action = mButtons[static_cast<std::size_t>(button)];
        action->setMenu(menu);
        if (auto* tb = qobject_cast<QToolButton*>(Toolbar1->widgetForAction(action))) {
            // Clicking the button runs its own command; the arrow opens the entries.
            tb->setPopupMode(QToolButton::MenuButtonPopup);
        }
    };
    std::vector<std::pair<QString, QString>> listEntries;
    for (std::int32_t mode = 0; mode < kListViewModeCount; ++mode) {
        const QString tag = QString::fromLatin1(ListViewModeName(mode));
        listEntries.emplace_back(mode == 0 ? tag + QStringLiteral(" <-") : tag, tag);
    }
    addButtonMenu(5, listEntries);
    addButtonMenu(6, {{QStringLiteral("Text"), QStringLiteral("Text")},
                      {QStringLiteral("Hex|Ascii <-"), QStringLiteral("Hex|Ascii")}});
}

bool FormMain::Form_Load() {
    // A stale lock left by a crashed instance is taken over by QLockFile.
    QString lockPath = mEnv.lockFilePath;
    if (lockPath.isEmpty()) {
        QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (dir.isEmpty()) dir = QDir::tempPath();
        lockPath = dir + QStringLiteral("/wirelens-%1.lock").arg(getuid());
    }
    mInstanceLock = std::make_unique<QLockFile>(lockPath);
    mInstanceLock->setStaleLockTime(0);
    if (!mInstanceLock->tryLock(0)) {
        mInstanceLock.reset();
        return false;
    }

    AppFolder = QCoreApplication::applicationDirPath();
    if (!AppFolder.endsWith(QLatin1Char('/'))) AppFolder += QLatin1Char('/');
    LoadToolbarImages();
    PicSplit->setFrameShape(QFrame::NoFrame);
    PicSplit->setAutoFillBackground(true);
    SetPanelText(1, QStringLiteral("Ready to start"));
    SetPanelText(2, QStringLiteral("0 packet"));
    SetPanelText(3, QStringLiteral("List view -> All"));
    SetPanelText(4, QStringLiteral("Packet view -> Hex"));
    // Bytes kept in memory cap a capture at the machine's memory: not silently.
    if (!mSession.Raw().StorageNote().empty()) {
        mNoteLabel->setText(QString::fromStdString(mSession.Raw().StorageNote()));
        mNoteLabel->show();
    }
    ChooseLocalIP();
    mSubCls.AddMsg(kCaptureMessage, false);
    mSubCls.SubClass(this, this, false);
    return true;
}

void FormMain::LoadToolbarImages() {
    if (ImageList2 == nullptr) {
        ImageList2 = new ImageList(this);
        ImageList2->setObjectName(QStringLiteral("ImageList2"));
        for (int i = 1; i <= 9; ++i) ImageList2->Add(QIcon(QStringLiteral(":/icons/k%1.png").arg(i)));
    }
    const std::pair<int, int> buttonImages[] = {{1, 1}, {2, 2}, {3, 3}, {5, 4}, {6, 5}, {8, 9}, {10, 6}};
    for (auto [button, image] : buttonImages) {
        mButtons[static_cast<std::size_t>(button)]->setIcon(ImageList2->ListImages(image));
    }
    // Images 7 and 8 are the packet rows' direction icons, not button images.
    mModel->SetRowIcons(ImageList2->ListImages(7), ImageList2->ListImages(8));
    Toolbar1->update();
}

void FormMain::ChooseLocalIP() {
    std::vector<std::string> interfaces;
    const int error = mEnv.listLocalAddresses ? mEnv.listLocalAddresses(interfaces) : 0;
    if (error != 0) {
        mEnv.showMessage(QStringLiteral("Cannot list this machine's addresses: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(error))),
                         QMessageBox::Critical);
        return;
    }
    FillLocalAddresses(interfaces, dicAddr);
}

// ---------------------------------------------------------------------------
// Layout

TwipsRect& FormMain::RectOf(const QWidget* control) {
    if (control == lv) return mLvRect;
    if (control == ListViewHEX) return mHexRect;
    if (control == txtData) return mTxtRect;
    if (control == PicSplit) return mSplitRect;
    return mDummyRect;
}

TwipsRect FormMain::Geometry(const QWidget* control) const {
    return const_cast<FormMain*>(this)->RectOf(control);
}

int FormMain::ClientWidthTwips() const { return Twips(mClient->width()); }
int FormMain::ClientHeightTwips() const { return Twips(mClient->height()); }

void FormMain::ApplyGeometry() {
    for (QWidget* w : {static_cast<QWidget*>(lv), static_cast<QWidget*>(ListViewHEX),
                       static_cast<QWidget*>(txtData), static_cast<QWidget*>(PicSplit)}) {
        const TwipsRect& r = RectOf(w);
        w->setGeometry(Px(r.left), Px(r.top), Px(r.width), Px(r.height));
    }
}

void FormMain::LayoutAlignedBars() {
    Toolbar1->setGeometry(0, 0, mClient->width(), Px(kToolbarHeight));
    stB->setGeometry(0, mClient->height() - Px(kStatusBarHeight), mClient->width(), Px(kStatusBarHeight));
    // With room for every design width, panels 1 to 4 keep theirs and the fifth
    // takes the rest, however long its text (the local address) is; without,
    // all give up width so that every text stays readable.
    int designSum = kStatusBarSlack;
    for (int width : kPanelWidths) designSum += Px(width);
    const QSizePolicy::Policy fifth = stB->width() >= designSum ? QSizePolicy::Ignored : QSizePolicy::Preferred;
    if (mPanels[5]->sizePolicy().horizontalPolicy() != fifth) mPanels[5]->setSizePolicy(fifth, QSizePolicy::Preferred);
}

void FormMain::Form_Resize() {
    const int w = ClientWidthTwips();
    const int h = ClientHeightTwips();
    mLvRect.left = 0;
    mLvRect.width = w;
    mTxtRect.left = mLvRect.left;
    mHexRect.left = mLvRect.left;
    mTxtRect.width = mLvRect.width;
    mHexRect.width = mLvRect.width;
    mTxtRect.top = mLvRect.top + mLvRect.height + 50;
    mHexRect.top = mTxtRect.top;
    const int detailHeight = h - kStatusBarHeight - mTxtRect.top;
    // A window too small for the detail area ends the layout here; what was
    // set so far stays.
    if (detailHeight < 0) {
        ApplyGeometry();
        return;
    }
    mTxtRect.height = detailHeight;
    mHexRect.height = detailHeight;
    mSplitRect.left = mLvRect.left + 10;
    mSplitRect.width = mLvRect.width - 30;
    mSplitRect.top = mLvRect.top + mLvRect.height - 10;
    ApplyGeometry();
}

void FormMain::PicSplit_MouseMove(Qt::MouseButtons button, int /*x*/, int y) {
    if (button != Qt::LeftButton) return;
    if (mSplitRect.top + y < kSplitterMinTop) return;
    const int outerHeight = Twips(frameGeometry().height());
    if (outerHeight - mSplitRect.top - y < kSplitterMinBottom) return;
    mLvRect.height += y;
    mSplitRect.top = mLvRect.top + mLvRect.height - 10;
    Form_Resize();
}

// ---------------------------------------------------------------------------
// Status bar and toolbar access

QString FormMain::PanelText(int index) const {
    if (index < 1 || index > 5) return {};
    return mPanels[static_cast<std::size_t>(index)]->text();
}

void FormMain::SetPanelText(int index, const QString& text) {
    if (index < 1 || index > 5) return;
    mPanels[static_cast<std::size_t>(index)]->setText(text);
}

QAction* FormMain::Button(int index) const {
    if (index < 1 || index > 10) return nullptr;
    return mButtons[static_cast<std::size_t>(index)];
}

QAction* FormMain::ButtonMenu(int button, int entry) const {
    if (button < 1 || button > 6 || entry < 1 || entry > 6) return nullptr;
    return mButtonMenus[static_cast<std::size_t>(button)][static_cast<std::size_t>(entry)];
}

QIcon FormMain::Image(int index) const {
    return ImageList2 != nullptr ? ImageList2->ListImages(index) : QIcon();
}

// ---------------------------------------------------------------------------
// Unload

void FormMain::closeEvent(QCloseEvent* event) {
    if (!mUnloaded && !AskToKeepPackets(QStringLiteral("Save them before Wirelens ends?"))) {
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();  // the unload is never cancelled
}

void FormMain::Form_Unload() {
    if (mUnloaded) return;
    mUnloaded = true;
    StopReadingFile();
    CloseSequence();
    mSubCls.UnSubclass();
    dicAddr.Clear();
    mInstanceLock.reset();
}

}  // namespace wirelens
