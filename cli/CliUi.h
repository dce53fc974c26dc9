// The terminal front end's UI: status and progress as one updating line on a
// terminal (plain lines otherwise), questions answered by --yes or on the
// terminal, file dialogs answered from the command line.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/Ui.h"

namespace fk::cli {

class CliUi : public Ui {
 public:
  struct Options {
    bool assumeYes = false;     // answer OK/Yes to every question
    bool interactive = false;   // a terminal is there to ask on
    bool fancyProgress = false; // redraw one line with '\r' (stderr is a terminal)
    int width = 80;
    bool quiet = false;          // draw no status texts (list prints only the tree)
    bool pausesForReading = false;  // a terminal keeps every line: no pauses to read a status
  };
  CliUi(Options opt, std::FILE* out, std::FILE* in);

  // Answers for the file and folder dialogs, in order of asking.
  void QueueDialogAnswer(std::string path);

  void DrawProgress(const std::string& text, int percent) override;
  MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                       MsgIcon icon) override;
  std::string OpenFileDialog(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                             int patternIndex) override;
  std::string SaveFileDialog(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                             int patternIndex) override;
  std::string PathDialog(const std::string& title, const std::string& initialPath) override;
  void SetControlText(Control c, const std::string& text) override;
  std::string ControlText(Control c) override;
  void SetControlEnabled(Control, bool) override {}
  void SetTreeLines(const std::vector<TreeLine>& lines) override;
  int SelectedTreeLine() override;
  void SelectTreeLine(int index) override;
  bool HasMainWindow() override { return true; }

  std::vector<TreeLine> TreeLines();
  // Ends an updating progress line so that later output starts on its own line.
  void FinishLine();
  // The last status text drawn (for the exit summary).
  std::string LastStatus();

  // One line of text: the status, the percent and a bar, cut to width.
  static std::string FormatProgressLine(const std::string& text, int percent, int width);
  // The text alone, cut or padded to width (a status without progress).
  static std::string FitLine(const std::string& text, int width);

 private:
  Options opt_;
  std::FILE* out_;
  std::FILE* in_;
  std::mutex mutex_;
  std::vector<std::string> dialogAnswers_;
  size_t nextDialog_ = 0;
  std::map<Control, std::string> texts_;
  std::vector<TreeLine> tree_;
  int selected_ = -1;
  std::string lastText_;
  int lastPercent_ = -1;
  bool lineOpen_ = false;
  // Plain output: the last line printed, and a counting line held back by the
  // throttle (printed when the task ends on it).
  std::string lastPrintedText_;
  int lastPrintedPercent_ = -1;
  std::chrono::steady_clock::time_point lastPrintTime_{};
  std::string heldLine_;

  std::string NextDialogAnswer(const std::string& title);
  void PrintLineLocked(const std::string& line);
  void PrintHeldLocked();
};

}  // namespace fk::cli
