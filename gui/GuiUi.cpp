#include "gui/GuiUi.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "gui/MainWindow.h"
#include "gui/ProgressCanvas.h"

namespace fk::gui {

MsgAnswer QtMessageBox(QWidget* parent, const std::string& title, const std::string& text, MsgButtons buttons,
                       MsgIcon icon) {
  QMessageBox box(parent);
  box.setWindowTitle(QString::fromStdString(title));
  // Texts use CR LF or a single CR between lines.
  QString t = QString::fromStdString(text);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  box.setText(t);
  switch (icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
  }
  switch (buttons) {
    case MsgButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case MsgButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MsgButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  const int r = box.exec();
  switch (r) {
    case QMessageBox::Ok: return MsgAnswer::Ok;
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    default: break;
  }
  // Escape or the close box: the answer that stops the operation.
  if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
  if (buttons == MsgButtons::YesNo) return MsgAnswer::No;
  return MsgAnswer::Cancel;
}

QString QtFilterList(const std::string& pattern, int patternIndex, QString* selected) {
  QStringList filters;
  for (const auto& [name, globs] : SplitDialogPattern(pattern)) {
    QString n = QString::fromStdString(name).trimmed();
    QString g = QString::fromStdString(globs);
    g.replace(QLatin1Char(';'), QLatin1Char(' '));
    if (g == QStringLiteral("*.*")) g = QStringLiteral("*");
    // Qt reads the globs from the last parentheses of the name.
    int open = n.lastIndexOf(QLatin1Char('('));
    if (open > 0 && n.endsWith(QLatin1Char(')'))) n = n.left(open).trimmed();
    filters << n + QStringLiteral(" (") + g + QStringLiteral(")");
  }
  if (selected) *selected = (patternIndex >= 0 && patternIndex < filters.size()) ? filters[patternIndex] : QString();
  return filters.join(QStringLiteral(";;"));
}

GuiUi::GuiUi(MainWindow* window) : window_(window), hasWindow_(window != nullptr) {}

bool GuiUi::OnGuiThread() const { return QThread::currentThread() == thread(); }

void GuiUi::Run(std::function<void()> fn, bool wait) {
  if (OnGuiThread()) {
    fn();
  } else {
    QMetaObject::invokeMethod(this, std::move(fn), wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
  }
}

bool GuiUi::HasMainWindow() { return hasWindow_.load(); }

void GuiUi::DrawProgress(const std::string& text, int percent) { DrawProgressEx(text, percent, 0, 0, 0); }

void GuiUi::DrawProgressEx(const std::string& text, int percent, int height, int xMargin, int yMargin) {
  Run(
      [this, t = QString::fromStdString(text), percent, height, xMargin, yMargin] {
        if (window_) window_->Canvas()->DrawProgress(t, percent, height, xMargin, yMargin);
      },
      false);
}

// Once the program is ending, a worker's question is not shown: it would hold
// the exit until someone answers it. The worker takes it as refused.
static bool Ending() { return ExitRequested.load() == 1; }

MsgAnswer GuiUi::MessageBox(const std::string& title, const std::string& text, MsgButtons buttons, MsgIcon icon) {
  MsgAnswer answer = MsgAnswer::Cancel;
  if (buttons == MsgButtons::Ok) answer = MsgAnswer::Ok;
  if (buttons == MsgButtons::YesNo) answer = MsgAnswer::No;
  Run(
      [&] {
        if (Ending()) {
          Log("> MessageBox not shown, the program is ending: " + title);
          return;
        }
        answer = window_ ? window_->Message(title, text, buttons, icon)
                         : QtMessageBox(nullptr, title, text, buttons, icon);
      },
      true);
  return answer;
}

std::string GuiUi::OpenFileDialog(const std::string& title, const std::string& defaultFile,
                                  const std::string& pattern, int patternIndex) {
  std::string result;
  Run(
      [&] {
        if (Ending()) return;
        QString sel;
        const QString filters = QtFilterList(pattern, patternIndex, &sel);
        result = QFileDialog::getOpenFileName(window_, QString::fromStdString(title),
                                              QString::fromStdString(defaultFile), filters, &sel)
                     .toStdString();
      },
      true);
  return result;
}

std::string GuiUi::SaveFileDialog(const std::string& title, const std::string& defaultFile,
                                  const std::string& pattern, int patternIndex) {
  std::string result;
  Run(
      [&] {
        if (Ending()) return;
        QString sel;
        const QString filters = QtFilterList(pattern, patternIndex, &sel);
        // The caller asks itself before it replaces a file, and a new name is
        // the usual answer.
        QFileDialog dlg(window_, QString::fromStdString(title), QString(), filters);
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setFileMode(QFileDialog::AnyFile);
        dlg.setOption(QFileDialog::DontConfirmOverwrite);
        // The filter first: choosing it rewrites the name's suffix to the
        // filter's first one ("PartSave.bin" would become "PartSave.hfs").
        if (!sel.isEmpty()) dlg.selectNameFilter(sel);
        dlg.selectFile(QString::fromStdString(defaultFile));
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
          result = dlg.selectedFiles().constFirst().toStdString();
      },
      true);
  return result;
}

std::string GuiUi::PathDialog(const std::string& title, const std::string& initialPath) {
  std::string result;
  Run(
      [&] {
        if (Ending()) return;
        QString dir = QFileDialog::getExistingDirectory(window_, QString::fromStdString(title),
                                                        QString::fromStdString(initialPath));
        if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
        result = dir.toStdString();
      },
      true);
  return result;
}

void GuiUi::SetControlText(Control c, const std::string& text) {
  Run(
      [this, c, t = QString::fromStdString(text)] {
        if (window_) window_->SetControlText(c, t);
      },
      false);
}

std::string GuiUi::ControlText(Control c) {
  std::string result;
  Run(
      [&] {
        if (window_) result = window_->ControlText(c).toStdString();
      },
      true);
  return result;
}

void GuiUi::SetControlEnabled(Control c, bool enabled) {
  Run(
      [this, c, enabled] {
        if (window_) window_->SetControlEnabled(c, enabled);
      },
      false);
}

void GuiUi::SetTreeLines(const std::vector<TreeLine>& lines) {
  Run(
      [this, lines] {
        if (window_) window_->SetTreeLines(lines);
      },
      false);
}

int GuiUi::SelectedTreeLine() {
  int result = -1;
  Run(
      [&] {
        if (window_) result = window_->SelectedTreeLine();
      },
      true);
  return result;
}

void GuiUi::SelectTreeLine(int index) {
  Run(
      [this, index] {
        if (window_) window_->SelectTreeLine(index);
      },
      false);
}

void GuiUi::PostEvent(int code) {
  if (code != UM_UPDATE_ALL_DRIVES) {
    Log("> GuiUi: unknown event " + std::to_string(code));
    return;
  }
  Run(
      [this] {
        if (window_) QCoreApplication::postEvent(window_, new QEvent(kUpdateAllDrivesEvent));
      },
      false);
}

void GuiUi::GuiPause(int milliseconds) {
  if (milliseconds <= 0) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() == app->thread()) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

}  // namespace fk::gui
