#pragma once
// A group box drawn as the form's layout expects it: the frame line runs
// through the middle of the title, so it stays above the controls that the
// layout places just below the title.
#include <QGroupBox>

namespace brenvik {

class GroupFrame final : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

  // The frame's rectangle in the widget's coordinates.
  QRect FrameRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace brenvik
