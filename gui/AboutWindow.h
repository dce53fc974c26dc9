// The About window: emblem, three link labels, the about text, the how-to text
// and OK.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

namespace fk::gui {

QString AboutHowToText();

class AboutWindow : public QWidget {
  Q_OBJECT
 public:
  // mainWindow is enabled and activated again when this window closes; it is
  // not the owner (the About window is a top-level window of its own).
  AboutWindow(QWidget* mainWindow, std::function<bool(const std::string&)> openUrl);

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  QPointer<QWidget> main_;
  std::function<bool(const std::string&)> openUrl_;
};

}  // namespace fk::gui
