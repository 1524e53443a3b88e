// Artwork lookup by resource number and the shared button image list.
#include "vornic/ui/resources.h"

#include <QGuiApplication>
#include <QPainter>
#include <QString>

static void InitVornicResources() { Q_INIT_RESOURCE(vornic_artwork); }

namespace vornic_ui {

namespace {
QString ResourcePath(int resourceId, bool twiceTheSize) {
    // The artwork lives in a static library: register it before the first look-up.
    static const bool registered = (InitVornicResources(), true);
    (void)registered;
    return twiceTheSize ? QStringLiteral(":/vornic/%1@2x.png").arg(resourceId)
                        : QStringLiteral(":/vornic/%1.png").arg(resourceId);
}
}  // namespace

QPixmap LoadResourcePixmap(int resourceId) {
    return LoadResourcePixmap(resourceId, qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0);
}

QPixmap LoadResourcePixmap(int resourceId, qreal devicePixelRatio) {
    if (devicePixelRatio > 1.0) {
        // The image reader gives an "@2x" file the device pixel ratio 2.
        QPixmap large(ResourcePath(resourceId, true));
        if (!large.isNull()) return large;
    }
    return QPixmap(ResourcePath(resourceId, false));
}

QIcon LoadResourceIcon(int resourceId) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        QPixmap pixmap = LoadResourcePixmap(resourceId, ratio);
        if (!pixmap.isNull()) icon.addPixmap(pixmap);
    }
    return icon;
}

int ImageList::Add(const QPixmap& image) {
    if (image.isNull()) return -1;
    const qreal ratio = image.devicePixelRatio();
    const QSize pixels = m_size * ratio;
    // Scaling keeps the image's device pixel ratio.
    m_images.push_back(image.size() == pixels
                           ? image
                           : image.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return Count() - 1;
}

int ImageList::GetImageSize(int index, QSize* size) const {
    if (index < 0 || index >= Count()) return 0;
    *size = m_images[static_cast<size_t>(index)].deviceIndependentSize().toSize();
    return 1;
}

void ImageList::Draw(QPainter& painter, int index, QPoint at) const {
    if (index < 0 || index >= Count()) return;
    painter.drawPixmap(at, m_images[static_cast<size_t>(index)]);
}

}  // namespace vornic_ui
