// Drawing and left-button tracking of the image button.
#include "vornic/ui/image_button.h"

#include <QMouseEvent>
#include <QPainter>

#include "vornic/ui/resources.h"

namespace vornic_ui {

namespace {

const QColor kFrameTopLeft(0x33, 0x33, 0x33);
const QColor kFrameBottomRight(0x00, 0x00, 0x00);
const QColor kDottedOutline(0xC0, 0xC0, 0xC0);

// Rectangles are left, top, right, bottom with right and bottom exclusive.
struct Rect {
    int left, top, right, bottom;
};

void HLine(QPainter& p, int x0, int x1, int y, const QColor& c) {  // [x0, x1)
    if (x1 > x0) p.fillRect(QRect(x0, y, x1 - x0, 1), c);
}
void VLine(QPainter& p, int x, int y0, int y1, const QColor& c) {  // [y0, y1)
    if (y1 > y0) p.fillRect(QRect(x, y0, 1, y1 - y0), c);
}

// Inverting dotted frame: every pixel of the outline whose x + y is even is
// inverted, so drawing it twice restores what was there.
void DrawFocusRect(QPainter& p, const Rect& r) {
    if (r.right - r.left < 1 || r.bottom - r.top < 1) return;
    p.save();
    p.setCompositionMode(QPainter::RasterOp_NotDestination);
    auto dot = [&p](int x, int y) {
        if (((x + y) & 1) == 0) p.fillRect(QRect(x, y, 1, 1), Qt::black);
    };
    for (int x = r.left; x < r.right; ++x) {
        dot(x, r.top);
        if (r.bottom - 1 != r.top) dot(x, r.bottom - 1);
    }
    for (int y = r.top + 1; y < r.bottom - 1; ++y) {
        dot(r.left, y);
        if (r.right - 1 != r.left) dot(r.right - 1, y);
    }
    p.restore();
}

// Two-pixel edge: outer and inner ring, each with a top-left and a
// bottom-right colour. The top and left lines stop one pixel short, so the
// bottom-right colour owns the top-right and bottom-left corners.
void DrawEdge(QPainter& p, const Rect& r, const QColor& outerTL, const QColor& outerBR,
              const QColor& innerTL, const QColor& innerBR) {
    HLine(p, r.left, r.right - 1, r.top, outerTL);
    VLine(p, r.left, r.top, r.bottom - 1, outerTL);
    HLine(p, r.left, r.right, r.bottom - 1, outerBR);
    VLine(p, r.right - 1, r.top, r.bottom, outerBR);
    HLine(p, r.left + 1, r.right - 2, r.top + 1, innerTL);
    VLine(p, r.left + 1, r.top + 1, r.bottom - 2, innerTL);
    HLine(p, r.left + 1, r.right - 1, r.bottom - 2, innerBR);
    VLine(p, r.right - 2, r.top + 1, r.bottom - 1, innerBR);
}

void DrawRaisedEdge(QPainter& p, const Rect& r, const QPalette& pal) {
    DrawEdge(p, r, pal.color(QPalette::Midlight), pal.color(QPalette::Shadow),
             pal.color(QPalette::Light), pal.color(QPalette::Dark));
}

void DrawSunkenEdge(QPainter& p, const Rect& r, const QPalette& pal) {
    DrawEdge(p, r, pal.color(QPalette::Dark), pal.color(QPalette::Light),
             pal.color(QPalette::Shadow), pal.color(QPalette::Midlight));
}

void DrawDarkFrame(QPainter& p, const Rect& r) {
    HLine(p, r.left, r.right - 1, r.top, kFrameTopLeft);
    VLine(p, r.left, r.top, r.bottom - 1, kFrameTopLeft);
    VLine(p, r.right - 1, r.top, r.bottom, kFrameBottomRight);
    HLine(p, r.left, r.right, r.bottom - 1, kFrameBottomRight);
}

// One-pixel dotted outline, three pixels on and three off, walked clockwise
// from the top-left corner; the gaps take the background colour.
void DrawDottedRect(QPainter& p, const Rect& r, const QColor& dots, const QColor& gaps) {
    if (r.right - r.left < 1 || r.bottom - r.top < 1) return;
    int step = 0;
    auto put = [&](int x, int y) { p.fillRect(QRect(x, y, 1, 1), (step++ % 6) < 3 ? dots : gaps); };
    const int l = r.left, t = r.top, rr = r.right - 1, b = r.bottom - 1;
    for (int x = l; x <= rr; ++x) put(x, t);
    for (int y = t + 1; y <= b; ++y) put(rr, y);
    if (b > t)
        for (int x = rr - 1; x >= l; --x) put(x, b);
    if (rr > l)
        for (int y = b - 1; y > t; --y) put(l, y);
}

}  // namespace

ImageButton::ImageButton(QWidget* parent) : QPushButton(parent) {}

void ImageButton::DrawItem(QPainter& painter, unsigned itemState) const {
    if (m_pImageList == nullptr) return;

    const Rect r{0, 0, width(), height()};
    const Rect inner{r.left + 4, r.top + 4, r.right - 4, r.bottom - 4};
    const QPalette& pal = palette();

    QSize imageSize(0, 0);
    const bool hasImage = m_pImageList->GetImageSize(m_nImageIndex, &imageSize) != 0;
    if (hasImage) {
        // C++ division truncates toward zero, as the image's y must.
        const int y = (r.bottom - r.top - imageSize.height()) / 2;
        m_pImageList->Draw(painter, m_nImageIndex, QPoint(5, y));
    }

    if ((itemState & (kStateSelected | kStateFocus)) != 0) {
        DrawFocusRect(painter, inner);
        DrawRaisedEdge(painter, r, pal);
        DrawDarkFrame(painter, r);
    } else {
        DrawDottedRect(painter, inner, kDottedOutline, pal.color(backgroundRole()));
        DrawRaisedEdge(painter, r, pal);
    }

    if (m_bPressed != 0) {
        DrawFocusRect(painter, inner);
        DrawSunkenEdge(painter, r, pal);
        DrawDarkFrame(painter, r);
    }

    const QString caption = text();
    if (!caption.isEmpty()) {
        QRect textRect(QPoint(r.left + imageSize.width() + 7, r.top),
                       QPoint(r.right - 1, r.bottom - 1));
        painter.setFont(font());
        painter.setPen(pal.color(QPalette::ButtonText));
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, caption);
    }
}

void ImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    unsigned state = 0;
    if (isDown()) state |= kStateSelected;
    if (hasFocus()) state |= kStateFocus;
    DrawItem(painter, state);
}

void ImageButton::mousePressEvent(QMouseEvent* event) {
    // Set before the base handling, whose repaint must already show it.
    if (event->button() == Qt::LeftButton) m_bPressed = 1;
    QPushButton::mousePressEvent(event);
}

void ImageButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) m_bPressed = 0;
    QPushButton::mouseReleaseEvent(event);
}

}  // namespace vornic_ui
