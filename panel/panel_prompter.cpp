#include "panel/panel_prompter.h"

#include <QFileDialog>
#include <QMessageBox>
#include <cstdio>

namespace vxr {
namespace {

// Installed by tests on the user-interface thread only.
CPanelPrompter* g_installed = nullptr;

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

CPanelPrompter::~CPanelPrompter() = default;

int CPanelPrompter::ShowMessage(QWidget* owner, const std::string& caption, const std::string& text,
                                MessageIcon icon) {
  QMessageBox box(ToQtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, owner);
  box.exec();
  return kOk;
}

std::string CPanelPrompter::OpenFileName(QWidget* owner, const std::string& caption,
                                         const std::string& directory, const std::string& filter) {
  // Qt's own dialog: the desktop's may treat filter patterns case-sensitively.
  const QString name = QFileDialog::getOpenFileName(
      owner, QString::fromStdString(caption), QString::fromStdString(directory),
      QString::fromStdString(filter), nullptr, QFileDialog::DontUseNativeDialog);
  return name.toStdString();
}

void CPanelPrompter::Notice(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

CPanelPrompter& CPanelPrompter::Default() {
  static CPanelPrompter qt_prompter;
  return g_installed != nullptr ? *g_installed : qt_prompter;
}

CPanelPrompter* CPanelPrompter::InstallDefault(CPanelPrompter* prompter) {
  CPanelPrompter* previous = g_installed;
  g_installed = prompter;
  return previous;
}

}  // namespace vxr
