// The image button's drawing checked pixel by pixel in each state, and its
// tracking of the left mouse button.
#include "image_button.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QTest>

#include "resources.h"

namespace vornic_ui {
namespace {

const QRgb kBackground = qRgb(0xF0, 0xF0, 0xF0);
const QRgb kLight = qRgb(0xFF, 0xFF, 0xFF);
const QRgb kMidlight = qRgb(0xE3, 0xE3, 0xE3);
const QRgb kDark = qRgb(0xA0, 0xA0, 0xA0);
const QRgb kShadow = qRgb(0x69, 0x69, 0x69);
const QRgb kFrameTopLeft = qRgb(0x33, 0x33, 0x33);
const QRgb kFrameBottomRight = qRgb(0, 0, 0);
const QRgb kDots = qRgb(0xC0, 0xC0, 0xC0);

// Row y of the test image has green 5*y, so a pixel tells which row it shows.
QRgb ImageRow(int y) { return qRgb(0, 5 * y, 200); }
QRgb Inverted(QRgb c) { return qRgb(255 - qRed(c), 255 - qGreen(c), 255 - qBlue(c)); }

QPixmap RowImage() {
    QImage image(48, 48, QImage::Format_RGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x) image.setPixel(x, y, ImageRow(y));
    return QPixmap::fromImage(image);
}

class ImageButtonTest : public ::testing::Test {
  protected:
    ImageButtonTest() : list(QSize(48, 48)) {
        list.Add(RowImage());
        QPalette pal = button.palette();
        pal.setColor(QPalette::Button, QColor(kBackground));
        pal.setColor(QPalette::Light, QColor(kLight));
        pal.setColor(QPalette::Midlight, QColor(kMidlight));
        pal.setColor(QPalette::Dark, QColor(kDark));
        pal.setColor(QPalette::Shadow, QColor(kShadow));
        pal.setColor(QPalette::ButtonText, Qt::black);
        button.setPalette(pal);
        button.SetImageList(&list);
        button.SetImageIndex(0);
        Resize(56, 54);
    }

    void Resize(int w, int h) {
        button.resize(w, h);
        width = w;
        height = h;
    }

    QImage Render(unsigned state) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(kBackground);
        QPainter painter(&image);
        button.DrawItem(painter, state);
        return image;
    }

    ImageList list;
    ImageButton button;
    int width = 0, height = 0;
};

void ExpectColour(const QImage& image, QRgb colour, std::initializer_list<QPoint> at) {
    for (QPoint p : at) EXPECT_EQ(image.pixel(p), colour) << "at " << p.x() << ", " << p.y();
}

// The button is 56 x 54: right column 55, bottom row 53; the image sits at
// x = 5, y = (54 - 48) / 2 = 3.
TEST_F(ImageButtonTest, NormalLookHasRaisedEdgeAndDottedOutlineWithoutDarkFrame) {
    QImage img = Render(0);
    // Outer ring: light grey top and left, the shadow owning the far corners;
    // inner ring.
    ExpectColour(img, kMidlight, {{0, 0}, {10, 0}, {0, 10}});
    ExpectColour(img, kShadow, {{55, 0}, {0, 53}, {55, 53}});
    ExpectColour(img, kLight, {{1, 1}});
    ExpectColour(img, kDark, {{54, 1}, {1, 52}, {54, 52}});
    // Dotted outline on the inner rectangle over the image, three on and three
    // off, the gaps in the background colour; nothing above the image.
    ExpectColour(img, kDots, {{4, 4}, {6, 4}, {10, 4}});
    ExpectColour(img, kBackground, {{7, 4}, {9, 4}, {5, 2}});
    ExpectColour(img, ImageRow(0), {{20, 3}});
    ExpectColour(img, ImageRow(17), {{20, 20}, {5, 20}});
}

TEST_F(ImageButtonTest, FocusedLookHasFocusRectangleEdgeAndDarkFrame) {
    QImage img = Render(ImageButton::kStateFocus);
    // Dark frame over the raised edge's outer ring; the inner ring untouched.
    ExpectColour(img, kFrameTopLeft, {{0, 0}, {54, 0}, {0, 52}});
    ExpectColour(img, kFrameBottomRight, {{55, 0}, {0, 53}, {55, 53}});
    ExpectColour(img, kLight, {{1, 1}});
    ExpectColour(img, kDark, {{54, 52}});
    // Focus rectangle: pixels of the inner outline with even x + y inverted.
    ExpectColour(img, Inverted(kBackground), {{4, 4}, {4, 6}});
    ExpectColour(img, ImageRow(1), {{5, 4}});
    ExpectColour(img, Inverted(ImageRow(1)), {{6, 4}});
    ExpectColour(img, Inverted(ImageRow(46)), {{51, 49}});
    EXPECT_NE(img.pixel(10, 4), kDots);  // no dotted outline in this look
}

TEST_F(ImageButtonTest, SelectedAloneLooksFocused) {
    EXPECT_EQ(Render(ImageButton::kStateSelected), Render(ImageButton::kStateFocus));
}

TEST_F(ImageButtonTest, MousePressHidesFocusRectangleAndSinksEdge) {
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    ASSERT_TRUE(button.IsMousePressed());
    QImage img = Render(ImageButton::kStateSelected | ImageButton::kStateFocus);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(button.IsMousePressed());
    // Drawn twice, the inverting focus rectangle is gone; the edge is sunken
    // (shadowed inner ring top-left, light one bottom-right), the dark frame on top.
    ExpectColour(img, kBackground, {{4, 4}});
    ExpectColour(img, ImageRow(1), {{6, 4}});
    ExpectColour(img, kShadow, {{1, 1}, {1, 10}});
    ExpectColour(img, kMidlight, {{54, 52}, {10, 52}});
    ExpectColour(img, kFrameTopLeft, {{0, 0}});
    ExpectColour(img, kFrameBottomRight, {{55, 53}});
}

TEST_F(ImageButtonTest, OnlyTheLeftButtonAndNotTheSpaceBarSetsPressed) {
    QTest::mousePress(&button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(button.IsMousePressed());
    QTest::mouseRelease(&button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));

    QTest::keyPress(&button, Qt::Key_Space);
    EXPECT_TRUE(button.isDown());
    EXPECT_FALSE(button.IsMousePressed());
    QTest::keyRelease(&button, Qt::Key_Space);

    // Release outside the button still clears the flag (the button holds the mouse).
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, QPoint(200, 200));
    EXPECT_FALSE(button.IsMousePressed());
}

TEST_F(ImageButtonTest, TallImageGetsNegativeYTruncatedTowardZero) {
    Resize(56, 31);  // (31 - 48) / 2 = -8
    QImage img = Render(0);
    // Rows from just inside the edge down; left of x = 5 inside the edge nothing.
    ExpectColour(img, ImageRow(10), {{20, 2}});
    ExpectColour(img, ImageRow(36), {{20, 28}});
    ExpectColour(img, kBackground, {{2, 10}});
}

TEST_F(ImageButtonTest, WithoutImageListNothingIsDrawn) {
    button.SetImageList(nullptr);
    QImage blank(width, height, QImage::Format_RGB32);
    blank.fill(kBackground);
    EXPECT_EQ(Render(0), blank);
    EXPECT_EQ(Render(ImageButton::kStateFocus), blank);
}

TEST_F(ImageButtonTest, MissingImageDrawsFrameAndCaptionFromTheLeft) {
    button.SetImageIndex(7);
    button.setText(QStringLiteral("||||||||"));
    QImage img = Render(0);
    EXPECT_EQ(img.pixel(0, 0), kMidlight);  // the frame still comes
    // With no image the caption starts at x = 0 + 7: nothing from it left of that.
    bool textLeftOfStart = false, textAfterStart = false;
    for (int y = 8; y < height - 8; ++y) {
        for (int x = 5; x < 7; ++x) textLeftOfStart |= img.pixel(x, y) != kBackground;
        for (int x = 7; x < 40; ++x) textAfterStart |= qGray(img.pixel(x, y)) < 0x80;
    }
    EXPECT_FALSE(textLeftOfStart);
    EXPECT_TRUE(textAfterStart);
}

// At a device pixel ratio of 2 all artwork comes from the files drawn twice as
// large, and a button image fills its 48-pixel room with all 96 of its own.
TEST(ArtworkTest, RatioTwoTakesTheArtworkDrawnAtTwiceTheSize) {
    for (int id : {139, 154, 155, 156, 157, 145, 133, 149, 158, 159, 160, 161}) {
        QPixmap small = LoadResourcePixmap(id, 1.0), large = LoadResourcePixmap(id, 2.0);
        ASSERT_FALSE(small.isNull()) << id;
        EXPECT_EQ(large.devicePixelRatio(), 2.0) << id;
        EXPECT_EQ(large.size(), small.size() * 2) << id;
    }
    ImageList list(QSize(48, 48));
    QPixmap large = LoadResourcePixmap(IDI_EXECUTE, 2.0);
    list.Add(large);
    QImage drawn(96, 96, QImage::Format_ARGB32_Premultiplied);
    drawn.setDevicePixelRatio(2.0);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    list.Draw(painter, 0, QPoint(0, 0));
    painter.end();
    QImage expected = large.toImage()
                          .scaled(96, 96, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    expected.setDevicePixelRatio(2.0);
    EXPECT_EQ(drawn, expected);
}

}  // namespace
}  // namespace vornic_ui
