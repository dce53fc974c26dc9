#include "cli/CliUi.h"

#include <algorithm>
#include <cstring>

#include "app/Log.h"

namespace fk::cli {

CliUi::CliUi(Options opt, std::FILE* out, std::FILE* in) : opt_(opt), out_(out), in_(in) {
  SetPausesForReading(opt.pausesForReading);
}

void CliUi::QueueDialogAnswer(std::string path) {
  std::lock_guard l(mutex_);
  dialogAnswers_.push_back(std::move(path));
}

std::string CliUi::FormatProgressLine(const std::string& text, int percent, int width) {
  percent = std::clamp(percent, 0, 100);
  std::string pct = std::to_string(percent) + "%";
  while (pct.size() < 4) pct = " " + pct;
  const int barWidth = 20;
  int filled = percent * barWidth / 100;
  std::string bar = "[" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "]";
  std::string tail = " " + pct + " " + bar;
  int room = width - 1 - static_cast<int>(tail.size());
  std::string t = text;
  if (room < 8) room = 8;
  if (static_cast<int>(t.size()) > room) t = t.substr(0, room - 3) + "...";
  t.resize(room, ' ');
  return t + tail;
}

std::string CliUi::FitLine(const std::string& text, int width) {
  const int room = std::max(width - 1, 8);
  std::string t = text;
  if (static_cast<int>(t.size()) > room) t = t.substr(0, room - 3) + "...";
  t.resize(room, ' ');
  return t;
}

void CliUi::PrintHeldLocked() {
  if (heldLine_.empty()) return;
  const std::string line = std::move(heldLine_);
  heldLine_.clear();
  PrintLineLocked(line);
}

void CliUi::PrintLineLocked(const std::string& line) {
  PrintHeldLocked();
  if (lineOpen_) {
    std::fputc('\n', out_);
    lineOpen_ = false;
  }
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

// The text with every run of digits replaced by one '#': "Formatting: 37 %" and
// "Formatting: 38 %" are the same task moving on, not two messages.
static std::string TextShape(const std::string& text) {
  std::string shape;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit) shape += c;
    else if (shape.empty() || shape.back() != '#') shape += '#';
  }
  return shape;
}

void CliUi::DrawProgress(const std::string& text, int percent) {
  // The drive list asks the user to pick a line of its tree whenever it is
  // rebuilt; the command line has named its disk already, so these prompts
  // would only mislead.
  if (text == "Select the USB Flash Drive, please" || text == "Insert a USB Flash Drive ...") return;
  std::lock_guard l(mutex_);
  percent = std::clamp(percent, 0, 100);
  if (text == lastText_ && percent == lastPercent_) return;
  const bool textChanged = text != lastText_;
  // A running task redraws one line: a transfer whose text carries changing
  // numbers, or a status that only counts on ("Formatting: 37 %"). A new
  // message gets a line of its own so that earlier ones stay readable.
  const bool sameTask = (percent > 0 && lastPercent_ > 0) || (textChanged && TextShape(text) == TextShape(lastText_));
  lastText_ = text;
  lastPercent_ = percent;
  if (opt_.quiet) return;
  if (opt_.fancyProgress) {
    if (text.empty() && percent == 0) return;
    // A plain status (no progress) shows no bar: "All done  0% [-----]" would read as a failure.
    std::string line = percent > 0 ? FormatProgressLine(text, percent, opt_.width) : FitLine(text, opt_.width);
    if (lineOpen_ && !sameTask) std::fputc('\n', out_);
    std::fputc('\r', out_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    lineOpen_ = true;
  } else if (textChanged && !text.empty()) {
    // Plain output (a log file, a pipe): one line per new message, percent
    // only when there is one. A status that only counts on gets at most one
    // line a second or per whole percent, so 70,000 extracted files do not
    // print 70,000 lines; its last count is printed before the next message.
    std::string line = percent > 0 ? text + " (" + std::to_string(percent) + "%)" : text;
    const auto now = std::chrono::steady_clock::now();
    const bool counting = !lastPrintedText_.empty() && TextShape(text) == TextShape(lastPrintedText_);
    if (counting && percent == lastPrintedPercent_ && now - lastPrintTime_ < std::chrono::seconds(1)) {
      heldLine_ = std::move(line);
      return;
    }
    if (counting) heldLine_.clear();  // superseded by this newer count
    PrintLineLocked(line);
    lastPrintedText_ = text;
    lastPrintedPercent_ = percent;
    lastPrintTime_ = now;
  }
}

static const char* IconWord(MsgIcon i) {
  switch (i) {
    case MsgIcon::Error: return "error";
    case MsgIcon::Warning: return "warning";
    case MsgIcon::Question: return "question";
    case MsgIcon::Information: return "information";
    case MsgIcon::None: return "";
  }
  return "";
}

MsgAnswer CliUi::MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                            MsgIcon icon) {
  std::lock_guard l(mutex_);
  std::string body = text;
  body.erase(std::remove(body.begin(), body.end(), '\r'), body.end());
  std::string head = "== " + title;
  if (*IconWord(icon)) head += std::string(" (") + IconWord(icon) + ")";
  head += " ==";
  PrintLineLocked(head);
  PrintLineLocked(body);
  Log("> CLI MessageBox: " + title);

  const bool yesNo = buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel;
  const MsgAnswer accept = yesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
  const MsgAnswer refuse = yesNo ? MsgAnswer::No : MsgAnswer::Cancel;
  if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
  if (opt_.assumeYes) {
    PrintLineLocked(yesNo ? "-> Yes (--yes)" : "-> OK (--yes)");
    return accept;
  }
  if (!opt_.interactive || !in_) {
    PrintLineLocked("-> Cancel (no terminal to ask on; use --yes to confirm)");
    return refuse;
  }
  const char* prompt = yesNo ? "Answer yes or no [y/N]: " : "Type OK to continue, anything else cancels: ";
  std::fputs(prompt, out_);
  std::fflush(out_);
  char buf[64] = {0};
  if (!std::fgets(buf, sizeof buf, in_)) return refuse;
  std::string a(buf);
  while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' ')) a.pop_back();
  for (auto& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (yesNo) return (a == "y" || a == "yes") ? MsgAnswer::Yes : MsgAnswer::No;
  return a == "ok" ? MsgAnswer::Ok : MsgAnswer::Cancel;
}

std::string CliUi::NextDialogAnswer(const std::string& title) {
  std::lock_guard l(mutex_);
  if (nextDialog_ < dialogAnswers_.size()) return dialogAnswers_[nextDialog_++];
  PrintLineLocked("== " + title + " == no file given on the command line");
  return {};
}

std::string CliUi::OpenFileDialog(const std::string& title, const std::string&, const std::string&, int) {
  return NextDialogAnswer(title);
}

std::string CliUi::SaveFileDialog(const std::string& title, const std::string&, const std::string&, int) {
  return NextDialogAnswer(title);
}

std::string CliUi::PathDialog(const std::string& title, const std::string&) { return NextDialogAnswer(title); }

void CliUi::SetControlText(Control c, const std::string& text) {
  std::lock_guard l(mutex_);
  texts_[c] = text;
}

std::string CliUi::ControlText(Control c) {
  std::lock_guard l(mutex_);
  auto it = texts_.find(c);
  return it == texts_.end() ? std::string() : it->second;
}

void CliUi::SetTreeLines(const std::vector<TreeLine>& lines) {
  std::lock_guard l(mutex_);
  tree_ = lines;
}

int CliUi::SelectedTreeLine() {
  std::lock_guard l(mutex_);
  return selected_;
}

void CliUi::SelectTreeLine(int index) {
  std::lock_guard l(mutex_);
  selected_ = (index >= 0 && index < static_cast<int>(tree_.size())) ? index : -1;
}

std::vector<TreeLine> CliUi::TreeLines() {
  std::lock_guard l(mutex_);
  return tree_;
}

void CliUi::FinishLine() {
  std::lock_guard l(mutex_);
  PrintHeldLocked();
  if (lineOpen_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
  }
}

std::string CliUi::LastStatus() {
  std::lock_guard l(mutex_);
  return lastText_;
}

}  // namespace fk::cli
