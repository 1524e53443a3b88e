// The image button's drawing, pixel by pixel in each look, its tracking of
// the left mouse button, and the artwork drawn at twice the size.
#include "vornic/ui/image_button.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QTest>
#include <map>

#include "vornic/ui/resources.h"

namespace vornic_ui {
namespace {

const QRgb kBackground = qRgb(0xF0, 0xF0, 0xF0), kLight = qRgb(0xFF, 0xFF, 0xFF),
           kMidlight = qRgb(0xE3, 0xE3, 0xE3), kDark = qRgb(0xA0, 0xA0, 0xA0),
           kShadow = qRgb(0x69, 0x69, 0x69), kFrameTopLeft = qRgb(0x33, 0x33, 0x33),
           kFrameBottomRight = qRgb(0, 0, 0), kDots = qRgb(0xC0, 0xC0, 0xC0);

// Row y of the test image has green 5 * y, so a pixel tells which row it shows.
QRgb Row(int y) { return qRgb(0, 5 * y, 200); }
QRgb Inverted(QRgb c) { return qRgb(255 - qRed(c), 255 - qGreen(c), 255 - qBlue(c)); }

// A button of 56 x 54 (right column 55, bottom row 53) showing the row image
// of 48 x 48 at x = 5, y = (54 - 48) / 2 = 3.
class ImageButtonTest : public ::testing::Test {
  protected:
    ImageButtonTest() {
        QImage rows(48, 48, QImage::Format_RGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 48; ++x) rows.setPixel(x, y, Row(y));
        list.Add(QPixmap::fromImage(rows));
        QPalette pal = button.palette();
        pal.setColor(QPalette::Button, QColor(kBackground));
        pal.setColor(QPalette::Light, QColor(kLight));
        pal.setColor(QPalette::Midlight, QColor(kMidlight));
        pal.setColor(QPalette::Dark, QColor(kDark));
        pal.setColor(QPalette::Shadow, QColor(kShadow));
        pal.setColor(QPalette::ButtonText, Qt::black);
        button.setPalette(pal);
        button.SetImageList(&list);
        button.resize(56, 54);
    }
    QImage Render(unsigned state) {
        QImage image(button.size(), QImage::Format_RGB32);
        image.fill(kBackground);
        QPainter painter(&image);
        button.DrawItem(painter, state);
        return image;
    }

    ImageList list{QSize(48, 48)};
    ImageButton button;
};

TEST_F(ImageButtonTest, LooksPixelByPixel) {
    const unsigned focus = ImageButton::kStateFocus;
    std::map<std::string, QImage> looks;
    looks["normal"] = Render(0);
    looks["focused"] = Render(focus);
    looks["selected"] = Render(ImageButton::kStateSelected);
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    looks["pressed"] = Render(ImageButton::kStateSelected | focus);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(200, 200));
    button.resize(56, 31);  // (31 - 48) / 2 = -8: truncated toward zero
    looks["tall"] = Render(0);
    struct Pixel {
        const char* look;
        int x, y;
        QRgb colour;
        const char* what;
    } pixels[] = {
        {"normal", 0, 0, kMidlight, "raised edge: light grey top and left"},
        {"normal", 55, 0, kShadow, "the shadow owns the far corners"},
        {"normal", 1, 1, kLight, "inner ring"},
        {"normal", 54, 52, kDark, ""},
        {"normal", 4, 4, kDots, "dotted outline, three on"},
        {"normal", 7, 4, kBackground, "and three off"},
        {"normal", 20, 20, Row(17), "the image"},
        {"focused", 0, 0, kFrameTopLeft, "dark frame over the edge"},
        {"focused", 55, 53, kFrameBottomRight, ""},
        {"focused", 4, 4, Inverted(kBackground), "focus rectangle: even x + y inverted"},
        {"focused", 5, 4, Row(1), ""},
        {"focused", 6, 4, Inverted(Row(1)), ""},
        {"pressed", 6, 4, Row(1), "focus rectangle drawn twice: gone"},
        {"pressed", 1, 1, kShadow, "sunken edge"},
        {"pressed", 54, 52, kMidlight, ""},
        {"pressed", 0, 0, kFrameTopLeft, "dark frame on top"},
        {"tall", 20, 2, Row(10), "rows from just inside the edge down"},
        {"tall", 2, 10, kBackground, "nothing left of x = 5"},
    };
    for (const Pixel& p : pixels)
        EXPECT_EQ(looks[p.look].pixel(p.x, p.y), p.colour)
            << p.look << " at " << p.x << ", " << p.y << " " << p.what;
    EXPECT_EQ(looks["selected"], looks["focused"]) << "selected alone looks focused";
}

TEST_F(ImageButtonTest, OnlyTheLeftMouseButtonAndNotTheSpaceBarSetsPressed) {
    QTest::mousePress(&button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(button.IsMousePressed());
    QTest::mouseRelease(&button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    QTest::keyPress(&button, Qt::Key_Space);
    EXPECT_TRUE(button.isDown());
    EXPECT_FALSE(button.IsMousePressed());
    QTest::keyRelease(&button, Qt::Key_Space);
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(button.IsMousePressed());
    // Released outside, the flag still clears: the button holds the mouse.
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(200, 200));
    EXPECT_FALSE(button.IsMousePressed());
}

TEST(ArtworkTest, RatioTwoTakesTheArtworkDrawnAtTwiceTheSize) {
    for (int id : {139, 154, 155, 156, 157, 145, 133, 149, 158, 159, 160, 161}) {
        QPixmap small = LoadResourcePixmap(id, 1.0), large = LoadResourcePixmap(id, 2.0);
        ASSERT_FALSE(small.isNull()) << id;
        EXPECT_EQ(large.devicePixelRatio(), 2.0) << id;
        EXPECT_EQ(large.size(), small.size() * 2) << id;
    }
}

}  // namespace
}  // namespace vornic_ui
