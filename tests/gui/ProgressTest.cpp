// The drawn progress bar and its task-bar mirror.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include "gui/ProgressCanvas.h"
#include "gui/TaskbarProgress.h"
#include "gui/WindowUtil.h"

namespace fk::gui {
namespace {

const QColor kBackground(240, 240, 240);

QImage Paint(int percent, const QString& text = QString(), QSize size = {470, 21}) {
  QImage img(size, QImage::Format_RGB32);
  img.fill(Qt::magenta);  // anything left unpainted shows up
  QPainter p(&img);
  PaintProgress(p, size, text, percent, 0, 0, 0, kBackground, QApplication::font());
  return img;
}

QColor At(const QImage& img, int x, int y) { return QColor(img.pixel(x, y)); }

TEST(ProgressPaint, OverfullBarIsFullAndNegativeBarIsEmpty) {
  const QImage full = Paint(150);
  const QImage empty = Paint(-5);
  // The bar spans x 3 .. 466 and y 3 .. 17 with the default margins.
  for (int x : {4, 100, 235, 400, 465}) {
    EXPECT_EQ(At(full, x, 10), kProgressBarColor) << x;
    EXPECT_EQ(At(empty, x, 10), kBackground) << x;
  }
  EXPECT_EQ(At(full, 467, 10), kBackground) << "the bar stops at the right margin";
  EXPECT_EQ(At(full, 2, 10), kBackground) << "and starts after the left margin";
  EXPECT_EQ(At(full, 235, 2), kBackground);
  EXPECT_EQ(At(full, 235, 18), kBackground);
  EXPECT_EQ(full, Paint(100));
  EXPECT_EQ(empty, Paint(0));
}

TEST(ProgressPaint, OutlinesAndPartialFill) {
  const QImage img = Paint(50);
  EXPECT_EQ(At(img, 235, 0), kProgressOutlineColor) << "outer outline, top";
  EXPECT_EQ(At(img, 235, 19), kProgressOutlineColor) << "outer outline, bottom at height - 2";
  EXPECT_EQ(At(img, 0, 10), kProgressOutlineColor);
  EXPECT_EQ(At(img, 469, 10), kProgressOutlineColor);
  EXPECT_EQ(At(img, 235, 1), QColor(Qt::white)) << "inner white outline";
  EXPECT_EQ(At(img, 1, 10), QColor(Qt::white));
  EXPECT_EQ(At(img, 235, 20), QColor(Qt::white)) << "the inner outline is one row lower";
  EXPECT_EQ(At(img, 468, 10), QColor(Qt::white));
  // 50 % of the inner width 464 is 232 pixels: x 3 .. 234.
  EXPECT_EQ(At(img, 234, 10), kProgressBarColor);
  EXPECT_EQ(At(img, 235, 10), kBackground);
}

TEST(ProgressPaint, TextIsBlackAndCentred) {
  const QImage img = Paint(0, QStringLiteral("WWWW"));
  int minX = 470, maxX = -1;
  for (int y = 0; y < 21; ++y)
    for (int x = 3; x < 467; ++x)
      if (QColor(img.pixel(x, y)).lightness() < 100) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
      }
  ASSERT_GE(maxX, 0) << "no dark text pixels";
  const int centre = (minX + maxX) / 2;
  EXPECT_NEAR(centre, 235, 3);
}

TEST(ProgressCanvasWidget, GrabbedImageShowsTheClampedBar) {
  ProgressCanvas c;
  c.resize(470, 21);
  c.DrawProgress(QString(), 150);
  EXPECT_EQ(c.Percent(), 100);
  QImage img = c.grab().toImage();
  EXPECT_EQ(QColor(img.pixel(400, 10)), kProgressBarColor);
  EXPECT_EQ(QColor(img.pixel(235, 0)), kProgressOutlineColor);
  c.DrawProgress(QStringLiteral("x"), -5);
  EXPECT_EQ(c.Percent(), 0);
  img = c.grab().toImage();
  EXPECT_EQ(QColor(img.pixel(400, 10)), GetWindowBackgroundColor());
}

struct Change {
  int state;
  int64_t value;
  bool operator==(const Change&) const = default;
};

TEST(TaskbarProgressTest, DrawProgressMirrorsOnTheTaskbarStateAndValueInOrder) {
  std::vector<Change> seen;
  auto tp = TaskbarProgress::New(0, 100, [&](int s, int64_t v, int64_t, int64_t) { seen.push_back({s, v}); });
  ASSERT_EQ(seen.size(), 1u) << "starts as no progress";
  seen.clear();
  ProgressCanvas c;
  c.SetTaskbar(tp.get());
  c.DrawProgress(QStringLiteral("a"), 40);
  c.DrawProgress(QStringLiteral("b"), -5);
  c.DrawProgress(QStringLiteral("c"), 250);
  c.DrawProgress(QStringLiteral("d"), 100);  // unchanged: nothing more is sent
  const std::vector<Change> want = {{TBPF_NORMAL, 0}, {TBPF_NORMAL, 40},        // state, then value
                                    {TBPF_NORMAL, 0}, {TBPF_NOPROGRESS, 0},     // value 0, then state
                                    {TBPF_NORMAL, 0}, {TBPF_NORMAL, 100}};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(tp->GetState(), TBPF_NORMAL);
  EXPECT_EQ(tp->GetValue(), 100);
}

TEST(TaskbarProgressTest, RangeStatesAndClamping) {
  int calls = 0;
  auto sink = [&](int, int64_t, int64_t, int64_t) { ++calls; };
  auto tp = TaskbarProgress::New(-10, -20, sink);
  EXPECT_EQ(tp->Minimum(), 0);
  EXPECT_EQ(tp->Maximum(), 0);
  tp = TaskbarProgress::New(5, 50, sink);
  calls = 0;
  for (int s : {3, 5, -1, 16}) tp->SetState(s);
  EXPECT_EQ(calls, 0) << "invalid states are ignored";
  EXPECT_EQ(tp->GetState(), 0);
  for (int s : {1, 2, 4, 8, 0}) {
    tp->SetState(s);
    EXPECT_EQ(tp->GetState(), s);
  }
  tp->SetValue(1);
  EXPECT_EQ(tp->GetValue(), 5);
  tp->SetValue(500);
  EXPECT_EQ(tp->GetValue(), 50);
  // Without a session bus the object exists and does nothing.
  auto quiet = TaskbarProgress::New(0, 100);
  ASSERT_NE(quiet, nullptr);
  quiet->SetValue(30);
  EXPECT_EQ(quiet->GetValue(), 30);
}

}  // namespace
}  // namespace fk::gui
