#include "gui/GuiIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <array>

namespace fk::gui {
namespace {

QPixmap Blank(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  return pm;
}

// A gear: configuration.
QPixmap DrawGear() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(8, 8);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(90, 100, 115));
  for (int i = 0; i < 8; ++i) {
    p.save();
    p.rotate(i * 45.0);
    p.drawRect(QRectF(-1.5, -7.5, 3, 4));
    p.restore();
  }
  p.drawEllipse(QPointF(0, 0), 5.2, 5.2);
  p.setBrush(QColor(230, 235, 240));
  p.drawEllipse(QPointF(0, 0), 2.2, 2.2);
  return pm;
}

// A chip with pins: a file-system driver.
QPixmap DrawDriver() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setPen(QColor(40, 40, 40));
  for (int x = 4; x <= 11; x += 3) {
    p.drawLine(x, 1, x, 3);
    p.drawLine(x, 12, x, 14);
  }
  p.setBrush(QColor(60, 120, 60));
  p.drawRect(2, 3, 11, 9);
  p.setPen(QColor(220, 240, 220));
  p.drawText(QRect(2, 3, 12, 9), Qt::AlignCenter, QStringLiteral("H"));
  return pm;
}

// A disk image with an arrow out of it: DMG extraction.
QPixmap DrawDmg() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QColor(70, 70, 90));
  p.setBrush(QColor(200, 205, 220));
  p.drawRoundedRect(QRectF(1.5, 5.5, 13, 9), 2, 2);
  p.setBrush(QColor(120, 125, 150));
  p.drawEllipse(QPointF(8, 10), 2.5, 2.5);
  p.setPen(QPen(QColor(20, 140, 40), 2));
  p.drawLine(QPointF(12, 1), QPointF(12, 6));
  p.drawLine(QPointF(10, 3), QPointF(12, 1));
  p.drawLine(QPointF(14, 3), QPointF(12, 1));
  return pm;
}

// A blue circle with a question mark: help.
QPixmap DrawHelp() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 100, 200));
  p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(12);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
  return pm;
}

// A circle with an "i": About.
QPixmap DrawAbout() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 150, 170));
  p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(8, 4.5), 1.4, 1.4);
  p.drawRect(QRectF(7, 7, 2, 6));
  return pm;
}

// A USB stick: a disk line of the tree.
QPixmap DrawDisk() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setPen(QColor(50, 50, 50));
  p.setBrush(QColor(170, 170, 175));
  p.drawRect(10, 5, 5, 6);
  p.setBrush(QColor(40, 90, 170));
  p.drawRect(1, 3, 10, 10);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(250, 250, 250));
  p.drawRect(12, 6, 2, 1);
  p.drawRect(12, 9, 2, 1);
  return pm;
}

// A slice of a bar: a partition line of the tree.
QPixmap DrawPartition() {
  QPixmap pm = Blank(16);
  QPainter p(&pm);
  p.setPen(QColor(60, 60, 60));
  p.setBrush(QColor(230, 230, 230));
  p.drawRect(1, 4, 14, 8);
  p.setBrush(QColor(102, 204, 255));
  p.drawRect(1, 4, 6, 8);
  return pm;
}

}  // namespace

const QPixmap& IconPixmap(int number) {
  static const std::array<QPixmap, kIconCount> icons = {DrawGear(),  DrawDriver(), DrawDmg(),      DrawHelp(),
                                                        DrawAbout(), DrawDisk(),   DrawPartition()};
  static const QPixmap none;
  if (number < 0 || number >= kIconCount) return none;
  return icons[static_cast<size_t>(number)];
}

QIcon Icon(int number) {
  const QPixmap& pm = IconPixmap(number);
  return pm.isNull() ? QIcon() : QIcon(pm);
}

// A keel under a stylised flash drive on a blue disc.
QPixmap Emblem() {
  QPixmap pm = Blank(72);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient g(QPointF(30, 26), 44);
  g.setColorAt(0, QColor(120, 200, 255));
  g.setColorAt(1, QColor(20, 70, 150));
  p.setPen(QPen(QColor(15, 45, 100), 2));
  p.setBrush(g);
  p.drawEllipse(QRectF(2, 2, 68, 68));
  // the stick
  p.setPen(QPen(QColor(30, 30, 30), 1.5));
  p.setBrush(QColor(235, 235, 240));
  p.drawRoundedRect(QRectF(22, 14, 28, 26), 3, 3);
  p.setBrush(QColor(180, 180, 190));
  p.drawRect(QRectF(28, 6, 16, 9));
  p.setBrush(QColor(102, 204, 255));
  p.drawRect(QRectF(27, 20, 18, 8));
  // the keel
  QPainterPath keel;
  keel.moveTo(14, 46);
  keel.lineTo(58, 46);
  keel.quadTo(50, 62, 36, 64);
  keel.quadTo(22, 62, 14, 46);
  p.setBrush(QColor(250, 190, 40));
  p.drawPath(keel);
  p.setPen(QPen(QColor(250, 190, 40), 3));
  p.drawLine(QPointF(36, 40), QPointF(36, 46));
  return pm;
}

QIcon ApplicationIcon() {
  QIcon icon;
  const QPixmap e = Emblem();
  icon.addPixmap(e);
  icon.addPixmap(e.scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  icon.addPixmap(e.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  return icon;
}

}  // namespace fk::gui
