#pragma once

#include <QFileDialog>
#include <string>

namespace vxr {

// The path a name typed into the tape dialog stands for. A name with an extension, or one that
// names a folder, is taken as typed. A name without extension gets "AVI" appended; on a
// case-sensitive file system the dialog looks for NAME.AVI, then NAME.avi, then any other
// letter case of ".avi" (the first in sorted order), and answers NAME.AVI when none exists (the
// dialog then refuses it as missing).
std::string ResolveTypedTapeName(const std::string& path);

// Qt's own open-file dialog for tapes: existing files only, a filter that matches extensions in
// any letter case, and a typed name without extension resolved as above.
class CTapeFileDialog : public QFileDialog {
 public:
  static constexpr const char* kFilter = "AVI files and TML projects (*.avi *.tml)";

  CTapeFileDialog(QWidget* owner, const QString& caption, const QString& directory,
                  const QString& filter);

  // Runs the dialog modally; the chosen path, or empty when cancelled.
  static std::string Choose(QWidget* owner, const std::string& caption,
                            const std::string& directory, const std::string& filter);

  // The file chosen once the dialog has ended with Accepted.
  const std::string& ChosenPath() const { return chosen_; }

  void accept() override;

 private:
  std::string chosen_;
};

}  // namespace vxr
