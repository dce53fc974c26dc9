// A UI that records every call and answers questions and dialogs from a script.
// Used by the tests, and usable by any front end that answers in advance.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/Ui.h"

namespace fk {

class ScriptedUi : public Ui {
 public:
  struct Box {
    std::string title, text;
    MsgButtons buttons;
    MsgIcon icon;
    MsgAnswer answer;
  };
  struct Dialog {
    std::string kind;  // "open", "save", "path"
    std::string title, defaultPath, pattern;
    int patternIndex = 0;
    std::string answer;
  };

  // Answers given in order; when the queue is empty, defaultAnswer (or, when
  // that does not fit the buttons, Ok/Yes) is used.
  void QueueAnswer(MsgAnswer a);
  void QueueDialogAnswer(std::string path);
  void SetDefaultAnswer(MsgAnswer a);

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
  void SetControlEnabled(Control c, bool enabled) override;
  void SetTreeLines(const std::vector<TreeLine>& lines) override;
  int SelectedTreeLine() override;
  void SelectTreeLine(int index) override;

  // Recorded state (copies, safe to call from the test thread).
  std::vector<std::pair<std::string, int>> Progress() const;
  std::vector<std::string> StatusTexts() const;  // texts of Progress(), consecutive repeats folded
  std::vector<Box> Boxes() const;
  std::vector<Dialog> Dialogs() const;
  std::vector<TreeLine> TreeLines() const;
  bool ControlEnabled(Control c) const;
  bool HasStatus(const std::string& text) const;  // any progress text equal to text
  bool HasStatusContaining(const std::string& part) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, int>> progress_;
  std::vector<Box> boxes_;
  std::vector<Dialog> dialogs_;
  std::deque<MsgAnswer> answers_;
  std::deque<std::string> dialogAnswers_;
  MsgAnswer defaultAnswer_ = MsgAnswer::Ok;
  std::map<Control, std::string> texts_;
  std::map<Control, bool> enabled_;
  std::vector<TreeLine> tree_;
  int selected_ = -1;

  std::string NextDialog(const char* kind, const std::string& title, const std::string& def,
                         const std::string& pattern, int idx);
};

}  // namespace fk
