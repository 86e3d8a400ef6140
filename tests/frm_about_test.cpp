// The About box: its controls, the link and the Close button.
#include "ui/frm_about.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace wirelens {
namespace {

class FrmAboutTest : public ::testing::Test {
protected:
    FrmAboutTest() {
        QPixmap iconPicture(32, 32);
        iconPicture.fill(Qt::red);
        mMainWindow.setWindowIcon(QIcon(iconPicture));
    }
    FrmAbout::UrlOpener Opener() {
        return [this](const QUrl& url) {
            mOpened << url;
            return true;
        };
    }
    QWidget mMainWindow;
    QList<QUrl> mOpened;
    const QUrl mAddress = QUrl(QStringLiteral("file:///opt/wirelens/README.md"));
};

TEST_F(FrmAboutTest, CaptionSizeAndOwner) {
    FrmAbout box(&mMainWindow, Opener(), mAddress);
    EXPECT_EQ(box.windowTitle(), "About this software");
    EXPECT_EQ(box.size(), QSize(326, 196));  // 4890 x 2940 twips
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_TRUE(box.isModal());
    EXPECT_EQ(box.parentWidget(), &mMainWindow);
    EXPECT_EQ(box.windowIcon().pixmap(32, 32).toImage().pixelColor(5, 5), QColor(Qt::red));
}

TEST_F(FrmAboutTest, ControlsAtTheirPlacesWithTheirTexts) {
    FrmAbout box(&mMainWindow, Opener(), mAddress);

    const QStringList lines = box.Label3()->text().split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines.mid(0, 3), (QStringList{"Wirelens", "Version 1.0", "For Windows 2000/XP"}));
    EXPECT_EQ(box.Label3()->pos(), QPoint(87, 12));
    EXPECT_EQ(box.Label2()->text(), "Web Site:");
    EXPECT_EQ(box.Label2()->pos(), QPoint(87, 95));
    EXPECT_EQ(box.Command2()->text(), "&Close");
    EXPECT_EQ(box.Command2()->geometry(), QRect(201, 156, 73, 24));

    EXPECT_EQ(box.Image1(1)->geometry(), QRect(27, 27, 32, 32));
    ASSERT_FALSE(box.Image1(1)->pixmap().isNull());
    EXPECT_EQ(box.Image1(1)->pixmap().toImage().pixelColor(5, 5), QColor(Qt::red));

    EXPECT_EQ(box.Image1(0)->geometry(), QRect(4, 141, 318, 2));
    const QImage line = box.Image1(0)->pixmap().toImage();
    ASSERT_EQ(line.size(), QSize(10, 2));
    EXPECT_EQ(line.pixelColor(3, 0), QColor(Qt::white));
    EXPECT_EQ(line.pixelColor(3, 1), QColor(128, 128, 128));

    for (QLabel* label : {box.Label2(), box.Label3(), box.LabelWeb()}) {
        EXPECT_LE(label->geometry().right(), box.width()) << label->objectName().toStdString();
    }
}

TEST_F(FrmAboutTest, LinkIsBlueUnderlinedWithAHandCursor) {
    FrmAbout box(&mMainWindow, Opener(), mAddress);
    QLabel* link = box.LabelWeb();
    EXPECT_EQ(link->text(), mAddress.toString());
    EXPECT_EQ(link->pos(), QPoint(87, 112));
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 192));
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(FrmAboutTest, ClickOnTheLinkOpensTheAddressAndLeavesTheBoxOpen) {
    FrmAbout box(&mMainWindow, Opener(), mAddress);
    box.show();
    QSignalSpy finished(&box, &QDialog::finished);
    QTest::mouseClick(box.LabelWeb(), Qt::LeftButton);
    EXPECT_EQ(mOpened, QList<QUrl>{mAddress});
    EXPECT_TRUE(box.isVisible());
    EXPECT_EQ(finished.count(), 0);

    QTest::mouseClick(box.LabelWeb(), Qt::RightButton);
    EXPECT_EQ(mOpened.size(), 1);
}

TEST_F(FrmAboutTest, CloseIsFirstInTabOrderAndEndsTheModalCall) {
    FrmAbout box(&mMainWindow, Opener(), mAddress);
    EXPECT_EQ(box.focusWidget(), box.Command2());
    EXPECT_EQ(box.Command2()->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    for (QLabel* label : box.findChildren<QLabel*>()) {
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << label->objectName().toStdString();
    }

    bool clicked = false;
    QTimer::singleShot(0, &box, [&] {
        clicked = box.isVisible();
        QTest::mouseClick(box.Command2(), Qt::LeftButton);
    });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
    EXPECT_TRUE(clicked);
    EXPECT_FALSE(box.isVisible());
    EXPECT_TRUE(mOpened.isEmpty());
}

TEST_F(FrmAboutTest, AddressIsTheProjectReadmeUnlessSet) {
    const QUrl found = FrmAbout::ProjectAddress();
    EXPECT_TRUE(found.isLocalFile()) << found.toString().toStdString();
    EXPECT_TRUE(found.path().endsWith("/README.md")) << found.toString().toStdString();

    const QUrl chosen(QStringLiteral("https://wirelens.example/"));
    FrmAbout::SetProjectAddress(chosen);
    EXPECT_EQ(FrmAbout::ProjectAddress(), chosen);
    EXPECT_EQ(FrmAbout(&mMainWindow, Opener()).Address(), chosen);
    FrmAbout::SetProjectAddress({});
    EXPECT_EQ(FrmAbout::ProjectAddress(), found);
}

}  // namespace
}  // namespace wirelens
