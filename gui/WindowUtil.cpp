#include "gui/WindowUtil.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QRadioButton>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QEnterEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>

#include "app/Log.h"

namespace fk::gui {

QColor GetWindowBackgroundColor() {
  const QPalette pal = QApplication::palette();
  QColor c = pal.color(QPalette::Active, QPalette::Window);
  const QRgb rgb = c.rgb() & 0xFFFFFF;
  if (rgb == 0xFFFFFF || rgb == 0x000000) c = pal.color(QPalette::Active, QPalette::Button);
  return c;
}

void KeepWindowOnDesktop(QWidget* window, int windowNumber) {
  QSize desktop(1024, 768);
  if (QScreen* s = QGuiApplication::primaryScreen()) desktop = s->geometry().size();
  KeepWindowOnDesktop(window, windowNumber, desktop);
}

void KeepWindowOnDesktop(QWidget* window, int windowNumber, QSize desktop) {
  if (!window) return;
  const int dw = desktop.width(), dh = desktop.height();
  Log("> WinID = " + std::to_string(windowNumber) + " DesktopWidth = " + std::to_string(dw) +
      " DesktopHeight = " + std::to_string(dh));
  const int x = window->x(), y = window->y(), w = window->width(), h = window->height();
  if (x + w > dw || y + h > dh) {
    window->move(dw / 2 - w / 2, dh / 2 - h / 2);
    Log("> Move Window WinID = " + std::to_string(windowNumber) + " to WindowX = " + std::to_string(dw / 2) +
        " WindowY = " + std::to_string(dh / 2));
  }
}

bool IsMouseOver(const QWidget* widget) {
  if (!widget) return false;
  const QRect r(widget->mapToGlobal(QPoint(0, 0)), widget->size());
  return r.contains(QCursor::pos());  // QRect::contains excludes right()+1 and bottom()+1
}

int ComboDropWidthFor(const QComboBox* combo) {
  const QFontMetrics fm(combo->view() ? combo->view()->font() : combo->font());
  int widest = 0;
  for (int i = 0; i < combo->count(); ++i) widest = std::max(widest, fm.horizontalAdvance(combo->itemText(i)));
  const QStyle* st = combo->style();
  const int border = st->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, combo);
  int width = widest + 2 * border + 3;
  if (combo->count() > 30) width += st->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, combo);
  return width;
}

void SetComboDropWidth(QComboBox* combo, int width) {
  if (!combo || !combo->view()) return;
  if (width <= 0) width = ComboDropWidthFor(combo);
  combo->view()->setMinimumWidth(width);
}

bool LabelTextFits(const QLabel* label) {
  const QFontMetrics fm(label->font());
  const QRect avail = label->contentsRect();
  int flags = Qt::TextExpandTabs;
  if (label->wordWrap()) flags |= Qt::TextWordWrap;
  const QRect need = fm.boundingRect(QRect(0, 0, avail.width(), 100000), flags, label->text());
  return need.width() <= avail.width() && need.height() <= avail.height();
}

void FitLabelFont(QLabel* label) {
  QFont f = label->font();
  int px = f.pixelSize() > 0 ? f.pixelSize() : QFontInfo(f).pixelSize();
  while (!LabelTextFits(label) && px > 7) {
    f.setPixelSize(--px);
    label->setFont(f);
  }
}

bool ButtonTextFits(const QPushButton* button) {
  QStyleOptionButton opt;
  opt.initFrom(button);
  opt.text = button->text();
  const QFontMetrics fm(button->font());
  const QSize text(fm.horizontalAdvance(button->text()), fm.height());
  const QSize need = button->style()->sizeFromContents(QStyle::CT_PushButton, &opt, text, button);
  return need.width() <= button->width();
}

void FitButtonFont(QPushButton* button) {
  // Start from the inherited font, so that a short caption after a long one
  // gets its normal size back.
  button->setFont(QFont());
  QFont f = button->font();
  int px = f.pixelSize() > 0 ? f.pixelSize() : QFontInfo(f).pixelSize();
  while (!ButtonTextFits(button) && px > 7) {
    f.setPixelSize(--px);
    button->setFont(f);
  }
}

void ReturnToMainWindow(QWidget* main) {
  if (!main) return;
  main->setEnabled(true);
  main->activateWindow();
  main->raise();
}

void FitCheckText(QAbstractButton* b) {
  QFont f = b->font();
  while (b->sizeHint().width() > b->width() && f.pointSizeF() > 6) {
    f.setPointSizeF(f.pointSizeF() - 0.5);
    b->setFont(f);
  }
}

namespace {

template <class W>
W* Placed(W* w, const char* name, QRect g, const QString& tip) {
  w->setObjectName(QString::fromLatin1(name));
  w->setGeometry(g);
  if (!tip.isEmpty()) w->setToolTip(tip);
  return w;
}

}  // namespace

QPushButton* AddPushButton(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip) {
  auto* b = Placed(new QPushButton(text, parent), name, g, tip);
  b->setAutoDefault(false);
  FitButtonFont(b);
  return b;
}

QComboBox* AddComboBox(QWidget* parent, const char* name, QRect g, const QString& tip) {
  return Placed(new QComboBox(parent), name, g, tip);
}

QRadioButton* AddRadio(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip) {
  auto* r = Placed(new QRadioButton(text, parent), name, g, tip);
  FitCheckText(r);
  return r;
}

QCheckBox* AddCheckBox(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip) {
  auto* c = Placed(new QCheckBox(text, parent), name, g, tip);
  FitCheckText(c);
  return c;
}

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
  SetColor(NormalColor());
}

QColor LinkLabel::CurrentColor() const { return palette().color(QPalette::WindowText); }

void LinkLabel::SetColor(const QColor& c) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, c);
  setPalette(pal);
}

void LinkLabel::enterEvent(QEnterEvent* e) {
  SetColor(HoverColor());
  QLabel::enterEvent(e);
}

void LinkLabel::leaveEvent(QEvent* e) {
  SetColor(NormalColor());
  QLabel::leaveEvent(e);
}

void LinkLabel::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
  QLabel::mousePressEvent(e);
}

}  // namespace fk::gui
