// Artwork lookup by resource number and the shared button image list.
#include "resources.h"

#include <QPainter>
#include <QString>

static void InitVornicResources() { Q_INIT_RESOURCE(vornic_artwork); }

namespace vornic_ui {

namespace {
QString ResourcePath(int resourceId) {
    // The artwork lives in a static library: register it before the first look-up.
    static const bool registered = (InitVornicResources(), true);
    (void)registered;
    return QStringLiteral(":/vornic/%1.png").arg(resourceId);
}
}  // namespace

QPixmap LoadResourcePixmap(int resourceId) { return QPixmap(ResourcePath(resourceId)); }

QIcon LoadResourceIcon(int resourceId) {
    QPixmap pixmap = LoadResourcePixmap(resourceId);
    return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

int ImageList::Add(const QPixmap& image) {
    if (image.isNull()) return -1;
    m_images.push_back(image.size() == m_size
                           ? image
                           : image.scaled(m_size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return Count() - 1;
}

int ImageList::GetImageSize(int index, QSize* size) const {
    if (index < 0 || index >= Count()) return 0;
    *size = m_images[static_cast<size_t>(index)].size();
    return 1;
}

void ImageList::Draw(QPainter& painter, int index, QPoint at) const {
    if (index < 0 || index >= Count()) return;
    painter.drawPixmap(at, m_images[static_cast<size_t>(index)]);
}

}  // namespace vornic_ui
