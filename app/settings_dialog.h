#pragma once

#include <QDialog>
#include <memory>
#include <string>

class QComboBox;
class QPushButton;
namespace Ui {
class SettingsDialog;
}

namespace vxr {

// Chooses the edit controller's port: an editable list offering COM1 to COM4, kept in
// case-insensitive order, that also takes any typed name. It neither reads nor writes the
// configuration; the panel hands the name in and takes it back after OK.
class CSettingsDialog : public QDialog {
 public:
  explicit CSettingsDialog(QWidget* parent = nullptr);
  ~CSettingsDialog() override;

  void SetPortName(std::string name) { port_name_ = std::move(name); }
  const std::string& PortName() const { return port_name_; }
  // When set, the list is disabled and OK keeps the name handed in.
  void SetReadOnly(bool read_only) { read_only_ = read_only; }
  bool ReadOnly() const { return read_only_; }

  // Prepares the list and runs the dialog modally.
  int exec() override;
  // OK: takes the chosen name (unless read-only) and ends the dialog.
  void accept() override;

  QComboBox* PortList() const;
  QPushButton* OkButton() const;
  QPushButton* CancelButton() const;

 private:
  void OnInitDialog();
  // Inserts text before the first item that sorts after it, ignoring letter case; returns its
  // index.
  int InsertSorted(const QString& text);

  std::unique_ptr<Ui::SettingsDialog> ui_;
  std::string port_name_ = "COM1";
  bool read_only_ = false;
};

}  // namespace vxr
