#include "app/Ui.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace fk {

const char* ControlName(Control c) {
  switch (c) {
    case Control::Button_Format: return "Button_Format";
    case Control::Button_Backup: return "Button_Backup";
    case Control::Button_Restore: return "Button_Restore";
    case Control::Button_Eject: return "Button_Eject";
    case Control::Button_Refresh: return "Button_Refresh";
    case Control::Button_Open_DownloadCenter: return "Button_Open_DownloadCenter";
    case Control::Button_Exit: return "Button_Exit";
    case Control::Tree_DestinationDisk: return "Tree_DestinationDisk";
    case Control::Menu_LatestClover: return "Menu_LatestClover";
    case Control::Menu_InstallHFSDrivers: return "Menu_InstallHFSDrivers";
    case Control::Menu_UnInstallHFSDrivers: return "Menu_UnInstallHFSDrivers";
  }
  return "?";
}

void Ui::ShowStatus(const std::string& text, int milliseconds) {
  if (text.empty() || !HasMainWindow()) return;
  DrawProgress(text, 0);
  if (milliseconds > 0 && PausesForReading()) PauseMs(milliseconds);
}

std::vector<std::pair<std::string, std::string>> SplitDialogPattern(const std::string& pattern) {
  std::vector<std::string> parts;
  std::string cur;
  for (char ch : pattern) {
    if (ch == '|') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += ch;
    }
  }
  parts.push_back(cur);
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) out.emplace_back(parts[i], parts[i + 1]);
  return out;
}

namespace {

// Used until a front end installs its UI: draws nothing and refuses every question.
class SilentUi final : public Ui {
 public:
  void DrawProgress(const std::string&, int) override {}
  MsgAnswer MessageBox(const std::string&, const std::string&, MsgButtons b, MsgIcon) override {
    return b == MsgButtons::Ok ? MsgAnswer::Ok : (b == MsgButtons::OkCancel ? MsgAnswer::Cancel : MsgAnswer::No);
  }
  std::string OpenFileDialog(const std::string&, const std::string&, const std::string&, int) override { return {}; }
  std::string SaveFileDialog(const std::string&, const std::string&, const std::string&, int) override { return {}; }
  std::string PathDialog(const std::string&, const std::string&) override { return {}; }
  void SetControlText(Control, const std::string&) override {}
  std::string ControlText(Control) override { return {}; }
  void SetControlEnabled(Control, bool) override {}
  void SetTreeLines(const std::vector<TreeLine>&) override {}
  int SelectedTreeLine() override { return -1; }
  void SelectTreeLine(int) override {}
  bool HasMainWindow() override { return false; }
};

std::mutex g_uiMutex;
std::shared_ptr<Ui> g_ui = std::make_shared<SilentUi>();
std::mutex g_pauseMutex;
std::function<void(int)> g_pause;

}  // namespace

Ui& GetUi() {
  std::lock_guard lock(g_uiMutex);
  return *g_ui;
}

void SetUi(std::shared_ptr<Ui> ui) {
  std::lock_guard lock(g_uiMutex);
  // GetUi() hands out a plain reference that a worker may still be using:
  // a replaced UI is kept alive until the process ends.
  static std::vector<std::shared_ptr<Ui>> retired;
  retired.push_back(std::move(g_ui));
  g_ui = ui ? std::move(ui) : std::make_shared<SilentUi>();
}

void PauseMs(int milliseconds) {
  std::function<void(int)> fn;
  {
    std::lock_guard lock(g_pauseMutex);
    fn = g_pause;
  }
  if (fn) {
    fn(milliseconds);
  } else if (milliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

void PauseToRead(int milliseconds) {
  if (GetUi().PausesForReading()) PauseMs(milliseconds);
}

void SetPauseFunction(std::function<void(int)> fn) {
  std::lock_guard lock(g_pauseMutex);
  g_pause = std::move(fn);
}

}  // namespace fk
