#include "app/tape_file_dialog.h"

#include <QMessageBox>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace vxr {
namespace {

namespace fs = std::filesystem;

bool IsRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

std::string ResolveTypedTapeName(const std::string& path) {
  const fs::path typed(path);
  const std::string name = typed.filename().string();
  std::error_code error;
  if (name.empty() || name.find('.') != std::string::npos || fs::is_directory(typed, error)) {
    return path;
  }
  const std::string upper = path + ".AVI";
  if (IsRegularFile(upper)) return upper;
  const std::string lower = path + ".avi";
  if (IsRegularFile(lower)) return lower;
  const std::string wanted = name + ".avi";
  std::vector<std::string> matches;
  const fs::path folder = typed.has_parent_path() ? typed.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string candidate = it->path().filename().string();
    if (EqualsIgnoringCase(candidate, wanted) && IsRegularFile(it->path())) {
      matches.push_back(candidate);
    }
  }
  if (matches.empty()) return upper;
  std::sort(matches.begin(), matches.end());
  return (folder / matches.front()).string();
}

CTapeFileDialog::CTapeFileDialog(QWidget* owner, const QString& caption, const QString& directory,
                                 const QString& filter)
    : QFileDialog(owner, caption, directory, filter) {
  // Qt's own dialog: the desktop's may match the patterns in one letter case only.
  setOption(QFileDialog::DontUseNativeDialog, true);
  // Qt's "existing file" mode would disable Open for a typed name without extension, which is
  // only resolved on accepting; accept() itself insists on an existing file.
  setFileMode(QFileDialog::AnyFile);
  setAcceptMode(QFileDialog::AcceptOpen);
}

std::string CTapeFileDialog::Choose(QWidget* owner, const std::string& caption,
                                    const std::string& directory, const std::string& filter) {
  CTapeFileDialog dialog(owner, QString::fromStdString(caption), QString::fromStdString(directory),
                         QString::fromStdString(filter));
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.ChosenPath();
}

void CTapeFileDialog::accept() {
  const QStringList typed = selectedFiles();
  if (typed.size() != 1) return;
  const std::string resolved = ResolveTypedTapeName(typed.constFirst().toStdString());
  std::error_code error;
  if (std::filesystem::is_directory(resolved, error)) {
    QFileDialog::accept();  // opens the folder
    return;
  }
  if (!IsRegularFile(resolved)) {
    // Only an existing file can be chosen: say so and stay open.
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("%1\nFile not found.\nPlease verify the correct file name "
                                        "was given.")
                             .arg(QString::fromStdString(fs::path(resolved).filename().string())));
    return;
  }
  // The resolved path is kept here rather than put back into the name field, which Qt leaves
  // alone while the user is typing in it.
  chosen_ = resolved;
  QDialog::accept();
}

}  // namespace vxr
