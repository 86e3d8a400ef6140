// Layout of the main window where the desktop's font and texts meet the design
// widths: the hex view's character column, the status panels, the image list.
#include <QLabel>
#include <QStatusBar>
#include <QStyle>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"
#include "ui/form_main_parts.h"
#include "views/hex_view.h"

namespace wirelens {
namespace {

constexpr int kDesignPanelWidths[] = {1840, 1840, 2240, 2240, 1440};

class WindowLayout : public ::testing::Test {
protected:
    FormMain& W() { return *h.window; }
    QLabel* Panel(int i) { return W().stB->findChild<QLabel*>(QStringLiteral("stB_panel%1").arg(i)); }
    void ShowAt(int width, int height) {
        W().show();
        W().resize(width, height);
        QCoreApplication::processEvents();
    }
    testing::FormMainHarness h;
};

TEST_F(WindowLayout, HexViewShowsAllSixteenCharactersOfARow) {
    for (int width : {Px(9390), 1200}) {
        SCOPED_TRACE(width);
        ShowAt(width, 600);
        testing::DatagramFields s;
        s.protocol = 17;
        s.src = "198.51.100.2";
        s.dst = "198.51.100.1";
        s.payload = std::vector<std::uint8_t>(16, 'Q');
        W().IngestDatagram(testing::BuildDatagram(s), 1700000000, 0);
        h.Settle();
        W().lv_ItemClick(0);
        ASSERT_GE(W().ListViewHEX->topLevelItemCount(), 1);
        const QString text = W().ListViewHEX->topLevelItem(0)->text(17);
        ASSERT_EQ(text, QString(16, u'Q'));
        const QFontMetrics metrics(W().ListViewHEX->font());
        const int margins = 2 * (W().ListViewHEX->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr,
                                                                         W().ListViewHEX) + 1);
        const int room = W().ListViewHEX->columnWidth(17) - margins;
        EXPECT_EQ(metrics.elidedText(text, Qt::ElideRight, room), text) << "room " << room;
        // Nor is any other row cut: 16 of the widest character fit as well.
        int widest = 0;
        for (int byte = 32; byte < 256; ++byte) {
            const auto c = PrintableCharacter(static_cast<std::uint8_t>(byte));
            widest = std::max(widest, metrics.horizontalAdvance(QString::fromUtf8(c.data(), static_cast<qsizetype>(c.size()))));
        }
        EXPECT_GE(room, 16 * widest);
        EXPECT_GE(W().ListViewHEX->columnWidth(17), Px(2260)) << "never narrower than the design";
        W().ClearPackets();
    }
}

// Panel 5 takes what is left; the address appearing there takes nothing from the others.
TEST_F(WindowLayout, StatusPanelsKeepTheirDesignWidthsWhenTheAddressAppears) {
    int designSum = 0;
    for (int w : kDesignPanelWidths) designSum += Px(w);
    for (int width : {designSum + 40, designSum + 120, 1280}) {
        SCOPED_TRACE(width);
        ShowAt(width, 600);
        W().SetPanelText(1, QStringLiteral("Sniffing..."));
        W().SetPanelText(5, QStringLiteral("Local IP: 198.51.100.1"));
        QCoreApplication::processEvents();
        for (int i = 1; i <= 4; ++i) EXPECT_EQ(Panel(i)->width(), Px(kDesignPanelWidths[i - 1])) << "panel " << i;
        EXPECT_GE(Panel(5)->width(), Px(kDesignPanelWidths[4]));
        W().SetPanelText(5, QString());
    }
}

TEST_F(WindowLayout, ImageListIsAControlNamedImageList2WithK1ToK9) {
    ASSERT_NE(W().ImageList2, nullptr);
    EXPECT_EQ(W().findChild<ImageList*>(QStringLiteral("ImageList2")), W().ImageList2);
    EXPECT_EQ(W().ImageList2->Count(), 9);
    for (int i = 1; i <= 9; ++i) {
        EXPECT_FALSE(W().ImageList2->ListImages(i).isNull()) << i;
        EXPECT_EQ(W().ImageList2->ListImages(i).cacheKey(), W().Image(i).cacheKey()) << i;
    }
    EXPECT_TRUE(W().ImageList2->ListImages(0).isNull());
    EXPECT_TRUE(W().ImageList2->ListImages(10).isNull());
    // The toolbar takes its images from the list: Start shows K1, About K6.
    EXPECT_EQ(W().Button(1)->icon().cacheKey(), W().ImageList2->ListImages(1).cacheKey());
    EXPECT_EQ(W().Button(10)->icon().cacheKey(), W().ImageList2->ListImages(6).cacheKey());
}

}  // namespace
}  // namespace wirelens
