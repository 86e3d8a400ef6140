#pragma once
// Small widgets of the main window.
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

namespace wirelens {

class FormMain;

// The main window's client area: toolbar and status bar are aligned to its top
// and bottom, every other control is placed in its coordinates.
class ClientArea : public QWidget {
    Q_OBJECT
public:
    explicit ClientArea(FormMain* owner);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    FormMain* mOwner;
};

// The bar between the packet list and the detail views.
class SplitterBar : public QFrame {
    Q_OBJECT
public:
    explicit SplitterBar(QWidget* parent);
    // Buttons held, and the pointer's position in twips in the bar's own coordinates.
    std::function<void(Qt::MouseButtons, int x, int y)> onMouseMove;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
};

// The image list: images 1 to Count() by index, as the toolbar buttons and the
// packet rows take them. A control of the window, found by its name like the others.
class ImageList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void Add(const QIcon& image) { mImages.push_back(image); }
    int Count() const { return static_cast<int>(mImages.size()); }
    // A null icon outside 1..Count().
    QIcon ListImages(int index) const {
        return index < 1 || index > Count() ? QIcon() : mImages[static_cast<std::size_t>(index - 1)];
    }

private:
    std::vector<QIcon> mImages;
};

// A status bar panel: its design width when the bar has room; when it has
// not, it gives up width down to what its text needs, so panels never overlap
// and every text stays readable.
class StatusPanel : public QLabel {
    Q_OBJECT
public:
    StatusPanel(int designWidthPx, QWidget* parent);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    int mDesignWidth;
};

}  // namespace wirelens
