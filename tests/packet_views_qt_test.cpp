// The detail view widgets and the save command.
#include "views/packet_views_qt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "capture/raw_datagram_store.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

class PacketViewsTest : public ::testing::Test {
protected:
    PacketViewsTest() {
        mHex.setColumnCount(kHexViewColumnCount);
    }
    // Stores an ICMP datagram carrying data and returns its Tag.
    QString StoreIcmp(const Bytes& data) {
        Bytes datagram(20, 0x45);
        datagram.insert(datagram.end(), data.begin(), data.end());
        return QString::number(mStore.Append(datagram));
    }
    void Click(const QString& tag, const QString& length, const QString& protocol = QStringLiteral("ICMP")) {
        ShowClickedPacket(protocol, length, tag, mStore, &mText, &mHex);
    }
    QStringList RowTexts(int row) const {
        QStringList texts;
        for (int c = 0; c < kHexViewColumnCount; ++c) texts << mHex.topLevelItem(row)->text(c);
        return texts;
    }

    RawDatagramStore mStore;
    QPlainTextEdit mText;
    QTreeWidget mHex;
};

TEST_F(PacketViewsTest, ShowHexViewAppendsOneRowPerCall) {
    ShowHexView(&mHex, QStringLiteral("000102030405060708090A0B0C0D0E0F"), QStringLiteral("................"));
    ShowHexView(&mHex, QStringLiteral("41"), QStringLiteral("A"));
    ASSERT_EQ(mHex.topLevelItemCount(), 2);
    EXPECT_EQ(RowTexts(0).mid(0, 3), (QStringList{"00", "01", "02"}));
    EXPECT_EQ(RowTexts(0).at(15), "0F");
    const QStringList expected{"41", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "|", "A"};
    EXPECT_EQ(RowTexts(1), expected);
}

TEST_F(PacketViewsTest, ClickFillsBothViewsFromTheStore) {
    Click(StoreIcmp({0x41, 0x0D, 0x0A, 0x42}), QStringLiteral("4"));
    ASSERT_EQ(mHex.topLevelItemCount(), 1);
    const QStringList expected{"41", "0D", "0A", "42", "", "", "", "", "", "", "", "", "", "", "", "", "|", "A..B"};
    EXPECT_EQ(RowTexts(0), expected);
    EXPECT_EQ(TextViewContent(&mText), "A\r\r\nB");
    EXPECT_EQ(mText.toPlainText(), "A\n\nB");  // what the widget shows: CR and CR LF each break the line
}

TEST_F(PacketViewsTest, ClickReplacesTheContentOfTheLastClick) {
    const Bytes data(40, 'x');
    const QString tag = StoreIcmp(data);
    Click(tag, QStringLiteral("40"));
    Click(tag, QStringLiteral("40"));
    EXPECT_EQ(mHex.topLevelItemCount(), 3);
    EXPECT_EQ(TextViewContent(&mText), std::string(40, 'x'));
}

TEST_F(PacketViewsTest, LengthZeroNegativeOrMalformedEmptiesBothViews) {
    const QString tag = StoreIcmp(Bytes(40, 'x'));
    for (const QString& length : {QStringLiteral("0"), QStringLiteral("-3"), QStringLiteral("forty")}) {
        Click(tag, QStringLiteral("40"));
        ASSERT_GT(mHex.topLevelItemCount(), 0);
        Click(tag, length);
        EXPECT_EQ(mHex.topLevelItemCount(), 0) << length.toStdString();
        EXPECT_TRUE(mText.toPlainText().isEmpty()) << length.toStdString();
        EXPECT_EQ(TextViewContent(&mText), "") << length.toStdString();
    }
}

TEST_F(PacketViewsTest, HiddenViewsAreFilledToo) {
    mText.hide();
    mHex.hide();
    Click(StoreIcmp({'h', 'i'}), QStringLiteral("2"));
    EXPECT_EQ(mHex.topLevelItemCount(), 1);
    EXPECT_EQ(TextViewContent(&mText), "hi");
}

TEST_F(PacketViewsTest, HexViewRowsReadBackWhatTheClickShowed) {
    Bytes data(1980);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
    Click(StoreIcmp(data), QStringLiteral("1980"));
    const auto rows = HexViewRows(&mHex);
    const auto expected = BuildHexRows(data);
    ASSERT_EQ(rows.size(), expected.size());
    ASSERT_EQ(rows.size(), 124u);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(rows[r], SplitHexRow(expected[r].hexText, expected[r].charText)) << "row " << r;
    }
}

TEST_F(PacketViewsTest, TextChangedOutsideTheHelpersIsReadFromTheWidget) {
    SetTextViewContent(&mText, "a\r\r\nb");
    mText.clear();
    EXPECT_EQ(TextViewContent(&mText), "");
    mText.setPlainText(QStringLiteral("x\ny"));
    EXPECT_EQ(TextViewContent(&mText), "x\r\ny");
}

// --- The save command ---

class SaveReportTest : public PacketViewsTest {
protected:
    SaveReportTest() {
        mRow = {"ICMP", "198.51.100.7", "", "203.0.113.20", "", "2", "09:15:02.47"};
    }
    // A chooser standing in for the dialog: records its call, returns path.
    ReportPathChooser ChooserReturning(const QString& path) {
        return [this, path](QWidget* parent, const QString& folder) {
            ++mChooserCalls;
            mChooserParent = parent;
            mChooserFolder = folder;
            return path;
        };
    }
    SaveErrorNotifier Notifier() {
        return [this](QWidget*, const QString& message) { mMessages << message; };
    }
    SaveReportResult Save(const QString& chosenPath) {
        return SaveReport(&mParent, mRow, &mText, &mHex, mDir.path() + "/", ChooserReturning(chosenPath), Notifier());
    }

    QWidget mParent;
    QTemporaryDir mDir;
    PacketRowTexts mRow;
    int mChooserCalls = 0;
    QWidget* mChooserParent = nullptr;
    QString mChooserFolder;
    QStringList mMessages;
};

TEST_F(SaveReportTest, WritesTheReportOfTheClickedPacket) {
    Click(StoreIcmp({0x41, 0x0A}), QStringLiteral("2"));
    const QString path = mDir.filePath("packet.txt");
    const auto result = Save(path);
    EXPECT_EQ(result.outcome, SaveReportOutcome::Saved);
    EXPECT_EQ(result.path, path);
    EXPECT_EQ(mChooserCalls, 1);
    EXPECT_EQ(mChooserParent, &mParent);
    EXPECT_EQ(mChooserFolder, mDir.path() + "/");
    EXPECT_TRUE(mMessages.isEmpty());
    const QByteArray expected =
        QByteArray("Protocol: ICMP\r\nIP (source): 198.51.100.7\r\nPort (source): \r\n"
        "IP (destination): 203.0.113.20\r\nPort (destination): \r\nLength (bytes): 2\r\n"
        "Start Time: 09:15:02.47\r\n\r\n"
        "------------------------------ Text ------------------------------\r\n"
        "A\r\n\r\n\r\n")
        + "----------------------- Hex ------------------- | -----Ascii -----\r\n"
        + "41 0A " + QByteArray(14 * 3, ' ') + "| A. \r\n";
    EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(SaveReportTest, NameWithoutExtensionGetsTxtOtherNamesStayAsTyped) {
    struct Case {
        const char* chosen;
        const char* written;
    };
    for (const Case c : {Case{"plain", "plain.txt"}, Case{"notes.log", "notes.log"}, Case{"r.txt", "r.txt"}}) {
        const auto result = Save(mDir.filePath(c.chosen));
        EXPECT_EQ(result.outcome, SaveReportOutcome::Saved) << c.chosen;
        EXPECT_EQ(result.path, mDir.filePath(c.written)) << c.chosen;
        EXPECT_TRUE(QFile::exists(mDir.filePath(c.written))) << c.chosen;
    }
    EXPECT_EQ(QDir(mDir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

TEST_F(SaveReportTest, EmptyRowTextDoesNothing) {
    mRow.protocol.clear();
    const auto result = Save(mDir.filePath("x.txt"));
    EXPECT_EQ(result.outcome, SaveReportOutcome::NothingSelected);
    EXPECT_EQ(mChooserCalls, 0);
    EXPECT_TRUE(QDir(mDir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(SaveReportTest, CancelWritesNothingAndSaysNothing) {
    const auto result = Save(QString());
    EXPECT_EQ(result.outcome, SaveReportOutcome::Cancelled);
    EXPECT_EQ(mChooserCalls, 1);
    EXPECT_TRUE(mMessages.isEmpty());
    EXPECT_TRUE(QDir(mDir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(SaveReportTest, FailureTellsTheUserWhyAndIsNotASuccess) {
    const QString missing = mDir.filePath("gone/report.txt");
    const QString proc = QStringLiteral("/proc/wirelens-%1.txt").arg(::getpid());
    for (const QString& path : {missing, proc}) {
        mMessages.clear();
        const auto result = Save(path);
        EXPECT_EQ(result.outcome, SaveReportOutcome::Failed) << path.toStdString();
        EXPECT_FALSE(result.error.isEmpty());
        ASSERT_EQ(mMessages.size(), 1) << path.toStdString();
        EXPECT_TRUE(mMessages[0].contains(path)) << mMessages[0].toStdString();
        EXPECT_TRUE(mMessages[0].contains(result.error));
        EXPECT_FALSE(QFile::exists(path));
    }
    EXPECT_TRUE(mMessages[0].contains(QStringLiteral("No such file or directory")) ||
                mMessages[0].contains(QStringLiteral("Permission denied")))
        << mMessages[0].toStdString();
}

TEST_F(SaveReportTest, SavingTwiceUnderOneNameKeepsOnlyTheSecondReport) {
    const QString path = mDir.filePath("same.txt");
    Click(StoreIcmp(Bytes(300, 'a')), QStringLiteral("300"));
    ASSERT_EQ(Save(path).outcome, SaveReportOutcome::Saved);
    const qint64 firstSize = QFileInfo(path).size();
    Click(StoreIcmp({'b'}), QStringLiteral("1"));
    mRow.length = "1";
    ASSERT_EQ(Save(path).outcome, SaveReportOutcome::Saved);
    const QByteArray second = ReadFile(path);
    EXPECT_LT(second.size(), firstSize);
    EXPECT_TRUE(second.endsWith("62 " + QByteArray(45, ' ') + "| b \r\n"));
    EXPECT_FALSE(second.contains("aaaa"));
}

TEST(ConfigureReportDialog, OneTxtFilterDefaultSuffixNoOverwriteQuestion) {
    QTemporaryDir dir;
    QFileDialog dialog;
    ConfigureReportDialog(dialog, dir.path() + "/");
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog.nameFilters(), QStringList{"Text file (*.txt)"});
    EXPECT_EQ(dialog.defaultSuffix(), "txt");
    EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(QDir(dialog.directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
}

}  // namespace
}  // namespace wirelens
