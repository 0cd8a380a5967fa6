#include "app/settings_dialog.h"

#include <QComboBox>
#include <QPushButton>

#include "ui_settings_dialog.h"

namespace vxr {

CSettingsDialog::CSettingsDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::SettingsDialog>()) {
  ui_->setupUi(this);
  setFixedSize(size());
  connect(ui_->okButton, &QPushButton::clicked, this, &CSettingsDialog::accept);
  connect(ui_->cancelButton, &QPushButton::clicked, this, &CSettingsDialog::reject);
}

CSettingsDialog::~CSettingsDialog() = default;

QComboBox* CSettingsDialog::PortList() const { return ui_->portCombo; }
QPushButton* CSettingsDialog::OkButton() const { return ui_->okButton; }
QPushButton* CSettingsDialog::CancelButton() const { return ui_->cancelButton; }

int CSettingsDialog::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CSettingsDialog::OnInitDialog() {
  QComboBox* list = ui_->portCombo;
  const QString name = QString::fromStdString(port_name_);
  // Whole-text match that ignores letter case.
  int index = list->findText(name, Qt::MatchFixedString);
  if (index < 0) index = InsertSorted(name);
  list->setCurrentIndex(index);
  list->setEnabled(!read_only_);
  ui_->okButton->setFocus();
}

int CSettingsDialog::InsertSorted(const QString& text) {
  QComboBox* list = ui_->portCombo;
  int index = 0;
  while (index < list->count() &&
         QString::compare(list->itemText(index), text, Qt::CaseInsensitive) <= 0) {
    ++index;
  }
  list->insertItem(index, text);
  return index;
}

void CSettingsDialog::accept() {
  if (!read_only_) {
    // Qt keeps the current item while the user types, so the edit field's text decides: an
    // item showing exactly that text, or else the typed name, which joins the list.
    QComboBox* list = ui_->portCombo;
    const QString text = list->currentText();
    const int index = list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0) {
      port_name_ = list->itemText(index).toStdString();
    } else {
      port_name_ = text.toStdString();
      list->setCurrentIndex(InsertSorted(text));
    }
  }
  QDialog::accept();
}

}  // namespace vxr
