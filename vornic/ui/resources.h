// The window's bitmaps and icons by resource number, and the shared image list
// from which the image buttons draw.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <vector>

class QPainter;
class QPoint;

namespace vornic_ui {

// Resource numbers of the window's artwork (besides the banners of control_ids.h).
enum ResourceId : int {
    IDI_MAINFRAME = 139,
    IDI_CHECK_STATUS = 154,
    IDI_DISABLE_PROTECT = 155,
    IDI_ENABLE_PROTECT = 156,
    IDI_CLEAR_OUTPUT = 157,
    IDI_EXECUTE = 145,
    IDB_LEFT_PICTURE = 133,
};

// The bitmap or icon image compiled in under this number, for the
// application's device pixel ratio: above 1 the artwork drawn at twice the size
// (its pixmap says ratio 2, so it takes the same room). A null pixmap when
// there is none.
QPixmap LoadResourcePixmap(int resourceId);
QPixmap LoadResourcePixmap(int resourceId, qreal devicePixelRatio);
// Both sizes of the image, for the window manager to pick from.
QIcon LoadResourceIcon(int resourceId);

// A list of equally sized images; every image added is scaled to the list's
// size in device-independent pixels, keeping its own device pixel ratio.
class ImageList {
  public:
    explicit ImageList(QSize size) : m_size(size) {}

    // Appends the image; returns its index, or -1 for a null image.
    int Add(const QPixmap& image);
    int Count() const { return static_cast<int>(m_images.size()); }
    QSize ImageSize() const { return m_size; }

    // Size of the image at index into *size; 0 when there is no such image.
    int GetImageSize(int index, QSize* size) const;

    // Draws the image at index with its transparency at the given position.
    void Draw(QPainter& painter, int index, QPoint at) const;

  private:
    QSize m_size;
    std::vector<QPixmap> m_images;
};

}  // namespace vornic_ui
