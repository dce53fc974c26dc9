#include "tests/support/ScriptedUi.h"

namespace fk {

void ScriptedUi::QueueAnswer(MsgAnswer a) {
  std::lock_guard l(mutex_);
  answers_.push_back(a);
}

void ScriptedUi::QueueDialogAnswer(std::string path) {
  std::lock_guard l(mutex_);
  dialogAnswers_.push_back(std::move(path));
}

void ScriptedUi::SetDefaultAnswer(MsgAnswer a) {
  std::lock_guard l(mutex_);
  defaultAnswer_ = a;
}

void ScriptedUi::DrawProgress(const std::string& text, int percent) {
  std::lock_guard l(mutex_);
  progress_.emplace_back(text, percent < 0 ? 0 : (percent > 100 ? 100 : percent));
}

static bool Fits(MsgAnswer a, MsgButtons b) {
  switch (b) {
    case MsgButtons::Ok: return a == MsgAnswer::Ok;
    case MsgButtons::OkCancel: return a == MsgAnswer::Ok || a == MsgAnswer::Cancel;
    case MsgButtons::YesNo: return a == MsgAnswer::Yes || a == MsgAnswer::No;
    case MsgButtons::YesNoCancel: return a != MsgAnswer::Ok;
  }
  return false;
}

MsgAnswer ScriptedUi::MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                                 MsgIcon icon) {
  std::lock_guard l(mutex_);
  MsgAnswer a;
  if (buttons == MsgButtons::Ok) {
    a = MsgAnswer::Ok;  // a plain notice consumes no scripted answer
  } else if (!answers_.empty()) {
    a = answers_.front();
    answers_.pop_front();
  } else {
    a = defaultAnswer_;
  }
  if (!Fits(a, buttons)) {
    // Map Ok<->Yes and Cancel<->No so that one script serves both kinds of question.
    if (a == MsgAnswer::Ok) a = MsgAnswer::Yes;
    else if (a == MsgAnswer::Yes) a = MsgAnswer::Ok;
    else if (a == MsgAnswer::Cancel) a = MsgAnswer::No;
    else if (a == MsgAnswer::No) a = MsgAnswer::Cancel;
  }
  boxes_.push_back({title, text, buttons, icon, a});
  return a;
}

std::string ScriptedUi::NextDialog(const char* kind, const std::string& title, const std::string& def,
                                   const std::string& pattern, int idx) {
  std::lock_guard l(mutex_);
  std::string answer;
  if (!dialogAnswers_.empty()) {
    answer = dialogAnswers_.front();
    dialogAnswers_.pop_front();
  }
  dialogs_.push_back({kind, title, def, pattern, idx, answer});
  return answer;
}

std::string ScriptedUi::OpenFileDialog(const std::string& title, const std::string& defaultFile,
                                       const std::string& pattern, int patternIndex) {
  return NextDialog("open", title, defaultFile, pattern, patternIndex);
}

std::string ScriptedUi::SaveFileDialog(const std::string& title, const std::string& defaultFile,
                                       const std::string& pattern, int patternIndex) {
  return NextDialog("save", title, defaultFile, pattern, patternIndex);
}

std::string ScriptedUi::PathDialog(const std::string& title, const std::string& initialPath) {
  return NextDialog("path", title, initialPath, "", 0);
}

void ScriptedUi::SetControlText(Control c, const std::string& text) {
  std::lock_guard l(mutex_);
  texts_[c] = text;
}

std::string ScriptedUi::ControlText(Control c) {
  std::lock_guard l(mutex_);
  auto it = texts_.find(c);
  return it == texts_.end() ? std::string() : it->second;
}

void ScriptedUi::SetControlEnabled(Control c, bool enabled) {
  std::lock_guard l(mutex_);
  enabled_[c] = enabled;
}

bool ScriptedUi::ControlEnabled(Control c) const {
  std::lock_guard l(mutex_);
  auto it = enabled_.find(c);
  return it == enabled_.end() ? true : it->second;
}

void ScriptedUi::SetTreeLines(const std::vector<TreeLine>& lines) {
  std::lock_guard l(mutex_);
  tree_ = lines;
  if (selected_ >= static_cast<int>(tree_.size())) selected_ = -1;
}

int ScriptedUi::SelectedTreeLine() {
  std::lock_guard l(mutex_);
  return selected_;
}

void ScriptedUi::SelectTreeLine(int index) {
  std::lock_guard l(mutex_);
  selected_ = (index >= 0 && index < static_cast<int>(tree_.size())) ? index : -1;
}

std::vector<std::pair<std::string, int>> ScriptedUi::Progress() const {
  std::lock_guard l(mutex_);
  return progress_;
}

std::vector<std::string> ScriptedUi::StatusTexts() const {
  std::lock_guard l(mutex_);
  std::vector<std::string> out;
  for (auto& [t, p] : progress_)
    if (out.empty() || out.back() != t) out.push_back(t);
  return out;
}

std::vector<ScriptedUi::Box> ScriptedUi::Boxes() const {
  std::lock_guard l(mutex_);
  return boxes_;
}

std::vector<ScriptedUi::Dialog> ScriptedUi::Dialogs() const {
  std::lock_guard l(mutex_);
  return dialogs_;
}

std::vector<TreeLine> ScriptedUi::TreeLines() const {
  std::lock_guard l(mutex_);
  return tree_;
}

bool ScriptedUi::HasStatus(const std::string& text) const {
  std::lock_guard l(mutex_);
  for (auto& [t, p] : progress_)
    if (t == text) return true;
  return false;
}

bool ScriptedUi::HasStatusContaining(const std::string& part) const {
  std::lock_guard l(mutex_);
  for (auto& [t, p] : progress_)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace fk
