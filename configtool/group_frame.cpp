#include "configtool/group_frame.h"

#include <QPainter>
#include <qdrawutil.h>

namespace brenvik {
namespace {

constexpr int kTitleIndent = 6;   // pixels from the frame's left edge to the title
constexpr int kTitlePadding = 2;  // blank pixels either side of the title text

}  // namespace

QRect GroupFrame::FrameRect() const {
  return rect().adjusted(0, fontMetrics().height() / 2, 0, 0);
}

void GroupFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // An etched line, as the original group boxes show; the style's own group
  // frame would start a title's height further down.
  qDrawShadeRect(&painter, FrameRect(), palette(), true, 1, 0);

  const QString text = title();
  if (text.isEmpty()) return;
  const QRect title_rect(kTitleIndent, 0, fontMetrics().horizontalAdvance(text) + 2 * kTitlePadding,
                         fontMetrics().height());
  painter.fillRect(title_rect, palette().brush(backgroundRole()));
  painter.setPen(palette().color(foregroundRole()));
  painter.drawText(title_rect, Qt::AlignCenter, text);
}

}  // namespace brenvik
