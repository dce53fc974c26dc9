// Small window operations shared by the windows: keeping a window on the
// desktop, link labels and their mouse-over test, combo drop widths and the
// background colour behind the progress bar.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QSize>

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QRadioButton;
class QRect;
class QWidget;

namespace fk::gui {

// The window background colour, or the button face colour when that is pure
// white or pure black.
QColor GetWindowBackgroundColor();

// Moves the window to the centre of the primary desktop when it sticks out at
// the right or the bottom; logs both the desktop size and the move.
void KeepWindowOnDesktop(QWidget* window, int windowNumber);
// Same with a given desktop size.
void KeepWindowOnDesktop(QWidget* window, int windowNumber, QSize desktop);

// Enables the main window a child window disabled, and brings it to the front
// (nothing when it is gone).
void ReturnToMainWindow(QWidget* main);

// Whether the mouse pointer lies inside the widget's screen rectangle (right
// and bottom edges excluded).
bool IsMouseOver(const QWidget* widget);

// Sets the width of the combo box's drop-down list; width <= 0 means wide
// enough for the widest item (plus a scroll bar when there are over 30 items).
void SetComboDropWidth(QComboBox* combo, int width);
// The width SetComboDropWidth would set for width <= 0.
int ComboDropWidthFor(const QComboBox* combo);

// Whether the label's text fits inside its rectangle with its font (tabs
// expanded, word wrap when the label wraps).
bool LabelTextFits(const QLabel* label);
// Shrinks the label's font in steps until its text fits (not below 7 pixels),
// so that the fixed layout stays readable with wide desktop fonts.
void FitLabelFont(QLabel* label);
// The same for a push button's caption ("Restore Cancel" on an 80-pixel button).
bool ButtonTextFits(const QPushButton* button);
void FitButtonFont(QPushButton* button);
// The same for a check box's or option's text (not below 6 points).
void FitCheckText(QAbstractButton* button);

// Child controls of the fixed layouts: object name, geometry and tool tip ("" =
// none); captions are fitted to their width. Owned by their parent.
QPushButton* AddPushButton(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip);
QComboBox* AddComboBox(QWidget* parent, const char* name, QRect g, const QString& tip);
QRadioButton* AddRadio(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip);
QCheckBox* AddCheckBox(QWidget* parent, const char* name, const QString& text, QRect g, const QString& tip);

// A plain text label that reads as a link: grey, blue while the pointer is
// over it; a left click inside it emits clicked().
class LinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit LinkLabel(const QString& text, QWidget* parent = nullptr);
  static QColor NormalColor() { return QColor(128, 128, 128); }
  static QColor HoverColor() { return QColor(0, 0, 255); }
  QColor CurrentColor() const;

 signals:
  void clicked();

 protected:
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;

 private:
  void SetColor(const QColor& c);
};

}  // namespace fk::gui
