// The status/progress bar of the main window (Canvas_Progress).
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

class QPainter;

namespace fk::gui {

class TaskbarProgress;

inline const QColor kProgressBarColor{102, 204, 255};
inline const QColor kProgressOutlineColor{213, 223, 229};

// Paints the bar into an area of the given size: background, white inner and
// coloured outer rounded outline, the filled part and the centred text.
// height 0 means the area's height; margins of 0 mean 3.
void PaintProgress(QPainter& p, QSize area, const QString& text, int percent, int height, int xMargin,
                   int yMargin, const QColor& background, const QFont& font);

class ProgressCanvas : public QWidget {
  Q_OBJECT
 public:
  explicit ProgressCanvas(QWidget* parent = nullptr);

  // GUI thread only (GuiUi posts worker calls here). Clamps percent, mirrors
  // it on the task-bar progress, and redraws the whole bar.
  void DrawProgress(const QString& text, int percent, int height = 0, int xMargin = 0, int yMargin = 0);
  void SetTaskbar(TaskbarProgress* tp) { taskbar_ = tp; }

  QString Text() const { return text_; }
  int Percent() const { return percent_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString text_;
  int percent_ = 0;
  int height_ = 0, xMargin_ = 0, yMargin_ = 0;
  TaskbarProgress* taskbar_ = nullptr;
};

}  // namespace fk::gui
