// A push button that draws one image of a shared image list at its left edge,
// its caption beside it, and a frame telling normal, focused and pressed apart.
#pragma once

#include <QPushButton>

class QPainter;

namespace vornic_ui {

class ImageList;

class ImageButton : public QPushButton {
    Q_OBJECT
  public:
    // Item-state bits handed to DrawItem.
    static constexpr unsigned kStateSelected = 0x0001;
    static constexpr unsigned kStateFocus = 0x0010;

    explicit ImageButton(QWidget* parent = nullptr);

    // The list is not owned; its owner keeps it alive as long as the button.
    void SetImageList(const ImageList* list) { m_pImageList = list; }
    void SetImageIndex(int index) { m_nImageIndex = index; }
    int ImageIndex() const { return m_nImageIndex; }
    bool IsMousePressed() const { return m_bPressed != 0; }

    // Draws the whole button into painter (client coordinates) for the given
    // item state; paintEvent calls it with the button's current state.
    void DrawItem(QPainter& painter, unsigned itemState) const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    const ImageList* m_pImageList = nullptr;
    int m_nImageIndex = 0;
    int m_bPressed = 0;
};

}  // namespace vornic_ui
