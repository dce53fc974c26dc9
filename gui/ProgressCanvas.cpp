#include "gui/ProgressCanvas.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "gui/TaskbarProgress.h"
#include "gui/WindowUtil.h"

namespace fk::gui {

void PaintProgress(QPainter& p, QSize area, const QString& text, int percent, int height, int xMargin,
                   int yMargin, const QColor& background, const QFont& font) {
  percent = std::clamp(percent, 0, 100);
  if (xMargin == 0) xMargin = 3;
  if (yMargin == 0) yMargin = 3;
  int width = area.width();
  if (height == 0) height = area.height();

  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(QRect(0, 0, width, height), background);
  // An outlined box of w x h covers the pixels x .. x+w-1; a one-pixel pen
  // without antialiasing covers x .. x+(w-1) for a rect of width w-1.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(Qt::white, 1));
  p.drawRoundedRect(QRect(1, 1, width - 2 - 1, height - 1 - 1), 3, 3);
  p.setPen(QPen(kProgressOutlineColor, 1));
  p.drawRoundedRect(QRect(0, 0, width - 1, height - 1 - 1), 3, 3);

  width -= 2 * xMargin;
  height -= 2 * yMargin;
  const int filled = percent * width / 100;
  if (filled > 0 && height > 0) {
    p.setPen(Qt::NoPen);
    p.setBrush(kProgressBarColor);
    p.drawRoundedRect(QRect(xMargin, yMargin, filled, height), 2, 2);
  }

  if (!text.isEmpty()) {
    p.setFont(font);
    const QFontMetrics fm(font);
    const int tw = fm.horizontalAdvance(text);
    const int th = fm.height();
    const int x = xMargin + (width - tw) / 2;
    const int y = yMargin + (height - th) / 2 - 1;
    p.setPen(Qt::black);
    p.setBackgroundMode(Qt::TransparentMode);
    p.drawText(QPoint(x, y + fm.ascent()), text);
  }
  p.restore();
}

ProgressCanvas::ProgressCanvas(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Canvas_Progress"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ProgressCanvas::DrawProgress(const QString& text, int percent, int height, int xMargin, int yMargin) {
  percent = std::clamp(percent, 0, 100);
  if (taskbar_) {
    if (percent == 0) {
      taskbar_->SetValue(0);
      taskbar_->SetState(TBPF_NOPROGRESS);
    } else {
      taskbar_->SetState(TBPF_NORMAL);
      taskbar_->SetValue(percent);
    }
  }
  text_ = text;
  percent_ = percent;
  height_ = height;
  xMargin_ = xMargin;
  yMargin_ = yMargin;
  update();
}

void ProgressCanvas::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QColor bg = GetWindowBackgroundColor();
  p.fillRect(rect(), bg);
  PaintProgress(p, size(), text_, percent_, height_, xMargin_, yMargin_, bg, QApplication::font());
}

}  // namespace fk::gui
