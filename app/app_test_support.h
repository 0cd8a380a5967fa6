#pragma once

// Helpers shared by the application's tests: a Qt application, a prompter that records and
// answers, and a bounded wait that keeps the event loop running.

#include <QApplication>
#include <QThread>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "panel/panel_prompter.h"
#include "panel/skin_test_support.h"

namespace vxr::testing {

// The default skin that the build draws next to the programs.
inline std::string DefaultSkinPath() { return std::string(VXR_BIN_DIR) + "/vxrdeck.skn"; }

// Processes events until condition holds or timeout_ms has passed; whether it held. The default
// bound is generous: a wait ends as soon as its condition holds.
constexpr int kWaitUntilMs = 20000;
inline bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = kWaitUntilMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    QThread::msleep(10);
  }
}

// Records every message box and notice and answers the file dialog with the queued paths
// (empty when none is queued, as a cancel).
class RecordingPrompter : public CPanelPrompter {
 public:
  struct Message {
    std::string caption;
    std::string text;
    MessageIcon icon;
  };

  int ShowMessage(QWidget*, const std::string& caption, const std::string& text,
                  MessageIcon icon) override {
    messages.push_back({caption, text, icon});
    if (on_message) on_message();
    return kOk;
  }
  std::string OpenFileName(QWidget*, const std::string&, const std::string&,
                           const std::string& filter) override {
    ++file_dialogs;
    last_filter = filter;
    if (answers.empty()) return std::string();
    std::string answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }

  void Notice(const std::string& line) override { notices.push_back(line); }

  std::vector<Message> messages;
  std::vector<std::string> notices;
  std::vector<std::string> answers;
  std::function<void()> on_message;
  int file_dialogs = 0;
  std::string last_filter;
};

}  // namespace vxr::testing
