// The main window's work tools over the packet list: the display filter field,
// sorting by a header click, find and go to, following a live capture, the
// row context menu, the keyboard shortcuts and the CSV export.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSaveFile>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>

#include "packets/packet_list_model.h"
#include "packets/row_export.h"
#include "ui/form_main.h"
#include "views/hex_view.h"

namespace wirelens {

namespace {
constexpr int kFilterFieldWidthPx = 220;
constexpr int kFindFieldWidthPx = 110;
constexpr int kRecentFilters = 20;
constexpr int kNoticeMs = 6000;
const char* const kInvalidFieldStyle = "background-color: #ffd6d6;";
}  // namespace

void FormMain::BuildFilterBar() {
    Toolbar1->addSeparator();
    cboFilter = new QComboBox(Toolbar1);
    cboFilter->setObjectName(QStringLiteral("cboFilter"));
    cboFilter->setEditable(true);
    cboFilter->setInsertPolicy(QComboBox::NoInsert);  // the list holds applied expressions only
    cboFilter->setMinimumWidth(kFilterFieldWidthPx);
    cboFilter->setMaxVisibleItems(kRecentFilters);
    cboFilter->lineEdit()->setPlaceholderText(QStringLiteral("Filter: tcpdump expression"));
    cboFilter->setToolTip(QStringLiteral("Display filter (tcpdump syntax); Enter applies it"));
    Toolbar1->addWidget(cboFilter);
    // Enter on a remembered expression also activates its entry; what is
    // applied already is not applied again.
    auto applyChanged = [this](const QString& expression) {
        if (expression != DisplayFilterExpression() || !mFilterError.isEmpty()) ApplyDisplayFilter(expression);
    };
    connect(cboFilter->lineEdit(), &QLineEdit::returnPressed, this,
            [this, applyChanged] { applyChanged(cboFilter->currentText()); });
    connect(cboFilter, &QComboBox::activated, this,
            [this, applyChanged](int index) { applyChanged(cboFilter->itemText(index)); });
    // Marked at once while typing; the list changes only when a valid one is applied.
    connect(cboFilter->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& text) {
        const DisplayFilterResult compiled = DisplayFilter::Compile(text.toStdString());
        cboFilter->lineEdit()->setStyleSheet(compiled.Ok() ? QString() : QString::fromLatin1(kInvalidFieldStyle));
        cboFilter->setToolTip(compiled.Ok() ? QStringLiteral("Display filter (tcpdump syntax); Enter applies it")
                                            : QString::fromStdString(compiled.error));
    });

    cboFindKind = new QComboBox(Toolbar1);
    cboFindKind->setObjectName(QStringLiteral("cboFindKind"));
    cboFindKind->addItem(QStringLiteral("Row text"), static_cast<int>(FindKind::RowText));
    cboFindKind->addItem(QStringLiteral("Data text"), static_cast<int>(FindKind::DataText));
    cboFindKind->addItem(QStringLiteral("Hex bytes"), static_cast<int>(FindKind::DataBytes));
    Toolbar1->addWidget(cboFindKind);
    txtFind = new QLineEdit(Toolbar1);
    txtFind->setObjectName(QStringLiteral("txtFind"));
    txtFind->setPlaceholderText(QStringLiteral("Find"));
    txtFind->setMinimumWidth(kFindFieldWidthPx);
    txtFind->setMaximumWidth(2 * kFindFieldWidthPx);
    Toolbar1->addWidget(txtFind);
    connect(txtFind, &QLineEdit::returnPressed, this, [this] {
        FindPacket((QApplication::keyboardModifiers() & Qt::ShiftModifier) ? FindDirection::Previous : FindDirection::Next);
    });

    mListedLabel = new QLabel(stB);
    mListedLabel->setObjectName(QStringLiteral("stB_listed"));
    stB->addPermanentWidget(mListedLabel);
    mListedLabel->hide();
    mNoticeLabel = new QLabel(stB);
    mNoticeLabel->setObjectName(QStringLiteral("stB_notice"));
    stB->addPermanentWidget(mNoticeLabel);
    mNoticeLabel->hide();

    auto* header = lv->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) { lv_ColumnClick(column); });

    lv->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lv, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex cell = lv->indexAt(at);
        if (!cell.isValid()) return;
        lv->selectionModel()->setCurrentIndex(cell, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        std::unique_ptr<QMenu> menu(RowContextMenu(cell));
        menu->exec(lv->viewport()->mapToGlobal(at));
    });

    connect(mModel, &PacketListModel::RowsFlushed, this, [this](qint64) { FollowNewRows(); });
    connect(lv->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (mScrollingToEnd) return;
        if (value >= lv->verticalScrollBar()->maximum()) mFollowPaused = false;
        else if (IsCapturing()) mFollowPaused = true;
    });
    connect(lv->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        if (IsCapturing() && current.isValid() && current.row() + 1 < mModel->rowCount()) mFollowPaused = true;
    });
    connect(lv->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { UpdateSaveEnabled(); });
    connect(mModel, &QAbstractItemModel::modelReset, this, [this] { UpdateSaveEnabled(); });

    chooseCsvFileName = [](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Export Rows as CSV"), QString(),
                                            QStringLiteral("CSV files (*.csv);;All files (*)"));
    };
    askPacketNumber = [](QWidget* parent) -> std::optional<std::int32_t> {
        bool ok = false;
        const int n = QInputDialog::getInt(parent, QStringLiteral("Go to Packet"), QStringLiteral("Packet number:"), 1, 1,
                                           PacketStore::kMaxKey, 1, &ok);
        if (!ok) return std::nullopt;
        return n;
    };
}

void FormMain::BuildViewMenu() {
    Menu_ExportCsv = new QAction(QStringLiteral("Export Rows as CSV..."), this);
    Menu_ExportCsv->setObjectName(QStringLiteral("Menu_ExportCsv"));
    Menu_File->insertAction(Menu_x1, Menu_ExportCsv);
    connect(Menu_ExportCsv, &QAction::triggered, this, [this] { Menu_ExportCsv_Click(); });

    Menu_View = new QMenu(QStringLiteral("View"), this);
    Menu_View->setObjectName(QStringLiteral("Menu_View"));
    menuBar()->insertMenu(Menu_Help->menuAction(), Menu_View);
    Menu_AutoScroll = Menu_View->addAction(QStringLiteral("Auto Scroll in Live Capture"));
    Menu_AutoScroll->setObjectName(QStringLiteral("Menu_AutoScroll"));
    Menu_AutoScroll->setCheckable(true);
    Menu_AutoScroll->setChecked(true);
    connect(Menu_AutoScroll, &QAction::toggled, this, [this](bool on) {
        mFollowPaused = false;
        if (on) FollowNewRows();
    });
    Menu_View->addSeparator();
    Menu_Find = Menu_View->addAction(QStringLiteral("Find Packet"));
    Menu_Find->setObjectName(QStringLiteral("Menu_Find"));
    connect(Menu_Find, &QAction::triggered, this, [this] {
        // With nothing to look for yet, the first press leads to the field.
        if (txtFind->text().isEmpty()) {
            txtFind->setFocus();
            return;
        }
        FindPacket(FindDirection::Next);
    });
    Menu_FindPrevious = Menu_View->addAction(QStringLiteral("Find Previous"));
    Menu_FindPrevious->setObjectName(QStringLiteral("Menu_FindPrevious"));
    connect(Menu_FindPrevious, &QAction::triggered, this, [this] { FindPacket(FindDirection::Previous); });
    Menu_GoTo = Menu_View->addAction(QStringLiteral("Go to Packet..."));
    Menu_GoTo->setObjectName(QStringLiteral("Menu_GoTo"));
    connect(Menu_GoTo, &QAction::triggered, this, [this] { Menu_GoTo_Click(); });
}

void FormMain::SetShortcuts() {
    // Start and Stop share one key; only one of them is enabled at a time.
    Menu_Start->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    Menu_Stop->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    Menu_Exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    Menu_About->setShortcut(QKeySequence(Qt::Key_F1));
    Menu_Find->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    Menu_FindPrevious->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    Menu_GoTo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    UpdateSaveEnabled();
}

QString FormMain::DisplayFilterExpression() const {
    return mFilter ? QString::fromStdString(mFilter->Expression()) : QString();
}

bool FormMain::ApplyDisplayFilter(const QString& expression) {
    DisplayFilterResult compiled = DisplayFilter::Compile(expression.toStdString());
    cboFilter->setEditText(expression);
    if (!compiled.Ok()) {
        mFilterError = QString::fromStdString(compiled.error);
        cboFilter->lineEdit()->setStyleSheet(QString::fromLatin1(kInvalidFieldStyle));
        cboFilter->setToolTip(mFilterError);
        ShowNotice(QStringLiteral("Invalid filter: ") + mFilterError);
        return false;
    }
    mFilterError.clear();
    cboFilter->lineEdit()->setStyleSheet(QString());
    cboFilter->setToolTip(QStringLiteral("Display filter (tcpdump syntax); Enter applies it"));
    if (compiled.filter.IsEmpty()) {
        mFilter.reset();
        mSession.SetDisplayFilter({});
    } else {
        auto filter = std::make_shared<const DisplayFilter>(std::move(compiled.filter));
        mFilter = filter;
        mSession.SetDisplayFilter([filter](std::span<const std::uint8_t> bytes, std::uint32_t wireLength) {
            return filter->Matches(bytes, wireLength);
        });
        RememberFilter(expression);
    }
    RefreshPacketList();
    return true;
}

void FormMain::RememberFilter(const QString& expression) {
    const int existing = cboFilter->findText(expression);
    if (existing >= 0) cboFilter->removeItem(existing);
    cboFilter->insertItem(0, expression);
    while (cboFilter->count() > kRecentFilters) cboFilter->removeItem(cboFilter->count() - 1);
    cboFilter->setEditText(expression);
}

void FormMain::UpdateListedText() {
    if (mListedLabel == nullptr) return;
    if (!mFilter) {
        mListedLabel->hide();
        return;
    }
    mListedLabel->setText(QString::fromStdString(ListedOfTotalText(mModel->TotalRows(), mSession.Count())));
    mListedLabel->show();
}

void FormMain::ShowNotice(const QString& text) {
    mNoticeLabel->setText(text);
    mNoticeLabel->show();
    QTimer::singleShot(kNoticeMs, mNoticeLabel, [label = mNoticeLabel, text] {
        if (label->text() == text) label->hide();
    });
}

QString FormMain::NoticeText() const { return mNoticeLabel->isVisibleTo(stB) ? mNoticeLabel->text() : QString(); }

QString FormMain::ListedText() const { return mListedLabel->isVisibleTo(stB) ? mListedLabel->text() : QString(); }

void FormMain::UpdateSaveEnabled() {
    const QItemSelectionModel* selection = lv->selectionModel();
    Menu_Save->setEnabled(selection != nullptr && selection->hasSelection());
}

void FormMain::lv_ColumnClick(int column) {
    // Info is a decode computed on demand, not a stored field: it does not sort.
    if (column < 0 || column >= kSortColumnCount) return;
    const std::optional<RowOrder>& current = mModel->CurrentRowOrder();
    std::optional<RowOrder> next;
    if (!current || static_cast<int>(current->column) != column)
        next = RowOrder{static_cast<SortColumn>(column), SortOrder::Ascending};
    else if (current->order == SortOrder::Ascending)
        next = RowOrder{static_cast<SortColumn>(column), SortOrder::Descending};
    QApplication::setOverrideCursor(Qt::WaitCursor);
    mModel->SetRowOrder(next);
    QApplication::restoreOverrideCursor();
    auto* header = lv->horizontalHeader();
    header->setSortIndicatorShown(next.has_value());
    if (next)
        header->setSortIndicator(column, next->order == SortOrder::Ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    const QModelIndex selected = lv->selectionModel()->currentIndex();
    if (selected.isValid()) lv->scrollTo(selected);
}

void FormMain::SelectRow(int row) {
    const QModelIndex index = mModel->index(row, 0);
    lv->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    lv->scrollTo(index, QAbstractItemView::PositionAtCenter);
    lv_ItemClick(row);
}

bool FormMain::FindPacket(FindDirection direction) {
    const auto kind = static_cast<FindKind>(cboFindKind->currentData().toInt());
    const FindQueryResult query = MakeFindQuery(kind, txtFind->text().toStdString());
    if (!query.Ok()) {
        ShowNotice(QString::fromStdString(query.error));
        return false;
    }
    mModel->FlushPending();
    std::optional<std::size_t> from;
    const QModelIndex current = lv->selectionModel()->currentIndex();
    if (current.isValid() && lv->selectionModel()->isRowSelected(current.row(), QModelIndex()))
        from = static_cast<std::size_t>(current.row());
    const auto row = FindRow(mModel->Rows(), from, direction, query.query, mSession.Packets(), mSession.Raw());
    if (!row) {
        ShowNotice(QStringLiteral("Not found: ") + txtFind->text());
        return false;
    }
    SelectRow(static_cast<int>(*row));
    return true;
}

bool FormMain::GoToPacket(std::int32_t sequence) {
    mModel->FlushPending();
    const auto row = RowOfSequence(mModel->Rows(), sequence);
    if (!row) {
        ShowNotice(sequence >= 1 && sequence <= mSession.Count()
                       ? QStringLiteral("Packet %1 is not listed (hidden by the list view or filter)").arg(sequence)
                       : QStringLiteral("There is no packet %1").arg(sequence));
        return false;
    }
    SelectRow(static_cast<int>(*row));
    return true;
}

void FormMain::Menu_GoTo_Click() {
    if (!askPacketNumber) return;
    if (const auto sequence = askPacketNumber(this)) GoToPacket(*sequence);
}

bool FormMain::FollowingNewRows() const { return Menu_AutoScroll->isChecked() && !mFollowPaused; }

void FormMain::FollowNewRows() {
    if (!IsCapturing() || !FollowingNewRows()) return;
    mScrollingToEnd = true;
    lv->scrollToBottom();
    mScrollingToEnd = false;
}

QString FormMain::RowText(int row, bool csv) const {
    std::vector<std::string> cells;
    for (int c = 0; c < PacketListModel::kColumnCount; ++c)
        cells.push_back(mModel->index(row, c).data().toString().toStdString());
    return QString::fromStdString(csv ? CsvLine(cells) : RowTextLine(cells));
}

QString FormMain::RowBytesHex(int row) const {
    const clV* record = mSession.Packets().Get(mModel->KeyAt(row));
    if (record == nullptr) return {};
    return QString::fromStdString(HexByteText(PacketData(*record, mSession.Bytes(*record))));
}

QString FormMain::RowDataText(int row) const {
    const clV* record = mSession.Packets().Get(mModel->KeyAt(row));
    if (record == nullptr) return {};
    return QString::fromStdString(BuildTextViewText(PacketData(*record, mSession.Bytes(*record))));
}

void FormMain::FilterOnCell(const QModelIndex& cell, FilterJoin join) {
    const clV* record = mSession.Packets().Get(mModel->KeyAt(cell.row()));
    if (record == nullptr) return;
    const std::string added = CellFilterExpression(cell.column(), *record);
    if (added.empty()) return;
    // Joined to what is applied, not to an unapplied edit in the field.
    const std::string current = mFilter ? mFilter->Expression() : std::string();
    ApplyDisplayFilter(QString::fromStdString(CombineFilterExpressions(current, added, join)));
}

QMenu* FormMain::RowContextMenu(const QModelIndex& cell) {
    auto* menu = new QMenu(this);
    const int row = cell.row();
    auto copy = [this](const QString& text) { QApplication::clipboard()->setText(text); };
    auto add = [menu](QMenu* into, const char* name, const QString& caption, auto run) {
        QAction* action = into->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        QObject::connect(action, &QAction::triggered, menu, run);
        return action;
    };
    add(menu, "Menu_CopyRowText", QStringLiteral("Copy Row as Text"), [=, this] { copy(RowText(row, false)); });
    add(menu, "Menu_CopyRowCsv", QStringLiteral("Copy Row as CSV"), [=, this] { copy(RowText(row, true)); });
    add(menu, "Menu_CopyBytesHex", QStringLiteral("Copy Data Bytes as Hex"), [=, this] { copy(RowBytesHex(row)); });
    add(menu, "Menu_CopyDataText", QStringLiteral("Copy Data as Text"), [=, this] { copy(RowDataText(row)); });
    menu->addSeparator();

    QMenu* filterMenu = menu->addMenu(QStringLiteral("Filter on this"));
    filterMenu->setObjectName(QStringLiteral("Menu_FilterOnThis"));
    const clV* record = mSession.Packets().Get(mModel->KeyAt(row));
    const QString expression =
        record != nullptr ? QString::fromStdString(CellFilterExpression(cell.column(), *record)) : QString();
    filterMenu->setEnabled(!expression.isEmpty());
    const QPersistentModelIndex at(cell);
    add(filterMenu, "Menu_FilterOnly", expression, [=, this] { if (at.isValid()) FilterOnCell(at, FilterJoin::Replace); });
    QAction* andItem = add(filterMenu, "Menu_FilterAnd", QStringLiteral("... and ") + expression,
                           [=, this] { if (at.isValid()) FilterOnCell(at, FilterJoin::And); });
    QAction* orItem = add(filterMenu, "Menu_FilterOr", QStringLiteral("... or ") + expression,
                          [=, this] { if (at.isValid()) FilterOnCell(at, FilterJoin::Or); });
    andItem->setEnabled(mFilter != nullptr);
    orItem->setEnabled(mFilter != nullptr);
    return menu;
}

bool FormMain::ExportRowsCsv(const QString& path, QString* error) {
    mModel->FlushPending();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    std::vector<std::string> cells;
    for (int c = 0; c < PacketListModel::kColumnCount; ++c)
        cells.push_back(mModel->headerData(c, Qt::Horizontal).toString().toStdString());
    std::string text = CsvLine(cells) + "\r\n";
    const int rows = mModel->rowCount();
    for (int row = 0; row < rows; ++row) {
        cells.clear();
        for (int c = 0; c < PacketListModel::kColumnCount; ++c)
            cells.push_back(mModel->index(row, c).data().toString().toStdString());
        text += CsvLine(cells);
        text += "\r\n";
        // Written in pieces so a million rows never sit in memory as one text.
        if (text.size() >= (1u << 20)) {
            file.write(text.data(), static_cast<qint64>(text.size()));
            text.clear();
        }
    }
    file.write(text.data(), static_cast<qint64>(text.size()));
    if (!file.commit()) {
        if (error != nullptr) *error = file.errorString();
        return false;
    }
    return true;
}

void FormMain::Menu_ExportCsv_Click() {
    const QString path = chooseCsvFileName ? chooseCsvFileName(this) : QString();
    if (path.isEmpty()) return;
    QString error;
    if (!ExportRowsCsv(path, &error))
        mEnv.showMessage(QStringLiteral("Cannot export the rows to %1: %2").arg(path, error), QMessageBox::Critical);
}

}  // namespace wirelens
