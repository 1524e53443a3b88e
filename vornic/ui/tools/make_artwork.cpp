// Draws the window's artwork (icon, button images, left picture, status banners)
// into PNG files, each at its own size ("154.png") and at twice that size for
// screens with a device pixel ratio of 2 ("154@2x.png"); run once and commit
// the output in vornic/ui/resources/.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <functional>

#include "vornic/ui/banner_text.h"

namespace {

QFont CaptionFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies({"WenQuanYi Micro Hei", "Noto Sans CJK SC", "DejaVu Sans"});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

using Drawing = std::function<void(QPainter&)>;

// Runs `draw`, which works in the coordinates of the image's own size, on an
// image `scale` times that size; transparent unless `opaque`.
QImage Render(QSize size, bool opaque, qreal scale, const Drawing& draw) {
    QImage image(size * scale, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    if (!opaque) image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    draw(p);
    return image;
}

// A chip: dark square body with pins on all four sides.
void DrawChip(QPainter& p, QRectF body, QColor colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xB0, 0xB0, 0xB8));
    const int pins = 5;
    qreal step = body.width() / (pins + 1);
    qreal len = body.width() * 0.14, thick = step * 0.45;
    for (int i = 1; i <= pins; ++i) {
        qreal c = body.left() + i * step;
        p.drawRect(QRectF(c - thick / 2, body.top() - len, thick, len));
        p.drawRect(QRectF(c - thick / 2, body.bottom(), thick, len));
        qreal r = body.top() + i * step;
        p.drawRect(QRectF(body.left() - len, r - thick / 2, len, thick));
        p.drawRect(QRectF(body.right(), r - thick / 2, len, thick));
    }
    QLinearGradient g(body.topLeft(), body.bottomRight());
    g.setColorAt(0, colour.lighter(140));
    g.setColorAt(1, colour);
    p.setBrush(g);
    p.drawRoundedRect(body, body.width() * 0.08, body.width() * 0.08);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(QPointF(body.left() + body.width() * 0.2, body.top() + body.height() * 0.2),
                  body.width() * 0.06, body.width() * 0.06);
}

// A padlock, shackle closed or lifted open.
void DrawLock(QPainter& p, QColor body, bool open) {
    QPen shackle(QColor(0x70, 0x70, 0x78), 13, Qt::SolidLine, Qt::RoundCap);
    p.setPen(shackle);
    p.setBrush(Qt::NoBrush);
    QRectF arc = open ? QRectF(54, 10, 48, 60) : QRectF(38, 16, 52, 60);
    QPainterPath path;
    path.moveTo(arc.left(), arc.center().y() + (open ? 0 : 16));
    path.arcTo(arc, 180, -180);
    path.lineTo(arc.right(), arc.center().y() + 16);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    QLinearGradient g(0, 58, 0, 120);
    g.setColorAt(0, body.lighter(135));
    g.setColorAt(1, body.darker(115));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(24, 58, 80, 62), 10, 10);
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawEllipse(QPointF(64, 82), 8, 8);
    p.drawRect(QRectF(60, 84, 8, 20));
}

void CheckStatusImage(QPainter& p) {
    DrawChip(p, QRectF(22, 22, 64, 64), QColor(0x20, 0x40, 0x80));
    p.setPen(QPen(QColor(0x8B, 0x5A, 0x2B), 14, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(92, 92), QPointF(116, 116));
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 8));
    p.setBrush(QColor(0xC8, 0xE8, 0xFF, 170));
    p.drawEllipse(QPointF(74, 74), 26, 26);
}

Drawing LockImage(bool open) {
    return [open](QPainter& p) {
        DrawLock(p, open ? QColor(0x2E, 0xA0, 0x3C) : QColor(0xD0, 0x30, 0x28), open);
    };
}

void ClearOutputImage(QPainter& p) {
    p.setPen(QPen(QColor(0x60, 0x60, 0x60), 3));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(22, 10, 72, 98));
    p.setPen(QPen(QColor(0x90, 0x90, 0xA0), 5));
    for (int y = 28; y < 100; y += 14) p.drawLine(QPointF(32, y), QPointF(84, y));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xD0, 0x30, 0x28));
    p.drawEllipse(QPointF(92, 92), 28, 28);
    p.setPen(QPen(Qt::white, 9, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(80, 80), QPointF(104, 104));
    p.drawLine(QPointF(104, 80), QPointF(80, 104));
}

void ExecuteImage(QPainter& p) {
    DrawChip(p, QRectF(40, 64, 52, 52), QColor(0x20, 0x40, 0x80));
    QPainterPath arrow;
    arrow.moveTo(52, 6);
    arrow.lineTo(80, 6);
    arrow.lineTo(80, 34);
    arrow.lineTo(98, 34);
    arrow.lineTo(66, 66);
    arrow.lineTo(34, 34);
    arrow.lineTo(52, 34);
    arrow.closeSubpath();
    QLinearGradient g(0, 6, 0, 66);
    g.setColorAt(0, QColor(0x6C, 0xD8, 0x6C));
    g.setColorAt(1, QColor(0x1E, 0x90, 0x2E));
    p.setPen(QPen(QColor(0x14, 0x60, 0x1E), 3));
    p.setBrush(g);
    p.drawPath(arrow);
}

void WindowIcon(QPainter& p) {
    QLinearGradient g(0, 0, 128, 128);
    g.setColorAt(0, QColor(0x3A, 0x7B, 0xD5));
    g.setColorAt(1, QColor(0x1A, 0x3F, 0x7A));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 22, 22);
    DrawChip(p, QRectF(34, 34, 60, 60), QColor(0x22, 0x22, 0x2A));
    p.setPen(QPen(QColor(0xFF, 0xD0, 0x40), 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(70, 42), QPointF(56, 66), QPointF(72, 66), QPointF(58, 88)}));
}

void LeftPicture(QPainter& p) {
    QLinearGradient g(0, 0, 0, 466);
    g.setColorAt(0, QColor(0x1C, 0x3D, 0x78));
    g.setColorAt(1, QColor(0x0B, 0x16, 0x30));
    p.fillRect(QRect(0, 0, 225, 466), g);
    // Circuit traces.
    p.setPen(QPen(QColor(0x4A, 0x8A, 0xD8, 110), 2));
    for (int i = 0; i < 9; ++i) {
        int x = 14 + i * 24;
        p.drawLine(x, 0, x, 150 + (i % 3) * 18);
        p.drawLine(x, 150 + (i % 3) * 18, x + 12, 170 + (i % 3) * 18);
        p.drawEllipse(QPointF(x + 12, 172 + (i % 3) * 18), 3, 3);
        p.drawLine(x, 466, x, 330 - (i % 4) * 14);
        p.drawEllipse(QPointF(x, 326 - (i % 4) * 14), 3, 3);
    }
    DrawChip(p, QRectF(62, 196, 100, 100), QColor(0x22, 0x22, 0x2A));
    p.setPen(QColor(0xE0, 0xE8, 0xF8));
    p.setFont(CaptionFont(13, true));
    p.drawText(QRectF(62, 196, 100, 100), Qt::AlignCenter, "CH32V103");
    p.setFont(CaptionFont(34, true));
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 40, 225, 50), Qt::AlignCenter, "Vornic");
    p.setFont(CaptionFont(15, false));
    p.setPen(QColor(0xB8, 0xCC, 0xEE));
    p.drawText(QRectF(0, 92, 225, 24), Qt::AlignCenter, "代码烧录 · Flash Download");
    p.drawText(QRectF(0, 400, 225, 24), Qt::AlignCenter, "USB probe  ·  RISC-V");
}

Drawing Banner(QColor colour, int bitmapId) {
    return [colour, bitmapId](QPainter& p) {
        QLinearGradient g(0, 0, 0, 28);
        g.setColorAt(0, colour.lighter(125));
        g.setColorAt(1, colour);
        p.fillRect(QRect(0, 0, 366, 28), g);
        p.setPen(colour.darker(150));
        p.drawRect(0, 0, 365, 27);
        const QString caption = QString::fromUtf8(vornic_ui::BannerText(bitmapId));
        if (!caption.isEmpty()) {
            p.setPen(Qt::white);
            p.setFont(CaptionFont(16, true));
            p.drawText(QRectF(0, 0, 366, 28), Qt::AlignCenter, caption);
        }
    };
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    const QSize icon(128, 128), picture(225, 466), banner(366, 28);
    const QColor grey(0xA8, 0xA8, 0xA8), green(0x1E, 0x9A, 0x38), red(0xC8, 0x28, 0x20);
    struct Item {
        int id;
        QSize size;
        bool opaque;
        Drawing draw;
    } items[] = {
        {139, icon, false, WindowIcon},
        {154, icon, false, CheckStatusImage},
        {155, icon, false, LockImage(true)},
        {156, icon, false, LockImage(false)},
        {157, icon, false, ClearOutputImage},
        {145, icon, false, ExecuteImage},
        {133, picture, true, LeftPicture},
        {IDB_BANNER_BLANK, banner, true, Banner(grey, IDB_BANNER_BLANK)},
        {IDB_BANNER_PROTECTED_ZH, banner, true, Banner(green, IDB_BANNER_PROTECTED_ZH)},
        {IDB_BANNER_UNPROTECTED_ZH, banner, true, Banner(red, IDB_BANNER_UNPROTECTED_ZH)},
        {IDB_BANNER_PROTECTED_EN, banner, true, Banner(green, IDB_BANNER_PROTECTED_EN)},
        {IDB_BANNER_UNPROTECTED_EN, banner, true, Banner(red, IDB_BANNER_UNPROTECTED_EN)},
    };
    int failures = 0;
    for (const Item& item : items) {
        for (int scale : {1, 2}) {
            // Qt picks "name@2x.png" for a device pixel ratio of 2.
            const QString name = scale == 1 ? QStringLiteral("%1.png").arg(item.id)
                                            : QStringLiteral("%1@2x.png").arg(item.id);
            if (!Render(item.size, item.opaque, scale, item.draw).save(out.filePath(name), "PNG")) {
                std::fprintf(stderr, "make_artwork: cannot write %s\n", qPrintable(name));
                ++failures;
            }
        }
    }
    // The desktop's small icon (hicolor 48x48), drawn at its size rather than scaled down.
    if (!Render(icon, false, 48.0 / 128, WindowIcon).save(out.filePath("icon-48.png"), "PNG")) {
        std::fprintf(stderr, "make_artwork: cannot write icon-48.png\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
