#include "app/settings_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "app/app_test_support.h"

// Fontconfig keeps a cache that it frees only when the process ends; the leak checker of the
// sanitizer build is told about that one library, nothing else (once for all of app_tests).
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace vxr {
namespace {

QStringList Items(const QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  // Runs the dialog modally with name handed in; act runs inside the modal loop and ends it.
  int Run(const std::string& name, bool read_only, const std::function<void()>& act) {
    dialog_.SetPortName(name);
    dialog_.SetReadOnly(read_only);
    QTimer::singleShot(0, &dialog_, act);
    return dialog_.exec();
  }
  void ClickOk() { dialog_.OkButton()->click(); }

  testing::QtApplicationGuard qt_;  // before any widget
  CSettingsDialog dialog_;
};

TEST_F(SettingsDialogTest, TheTemplateOffersComOneToFour) {
  EXPECT_EQ(dialog_.windowTitle(), "Settings");
  EXPECT_EQ(dialog_.size(), QSize(188, 119));
  EXPECT_TRUE(dialog_.PortList()->isEditable());
  EXPECT_TRUE(dialog_.OkButton()->isDefault());
  EXPECT_EQ(dialog_.CancelButton()->text(), "Cancel");
  EXPECT_EQ(Items(dialog_.PortList()), (QStringList{"COM1", "COM2", "COM3", "COM4"}));
  EXPECT_EQ(dialog_.PortName(), "COM1");
  EXPECT_FALSE(dialog_.ReadOnly());
}

TEST_F(SettingsDialogTest, AnUnknownNameJoinsTheListInOrderAndIsSelected) {
  QStringList shown;
  QString edit;
  const int result = Run("COM7", false, [&] {
    shown = Items(dialog_.PortList());
    edit = dialog_.PortList()->currentText();
    EXPECT_TRUE(dialog_.PortList()->isEnabled());
    ClickOk();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(shown, (QStringList{"COM1", "COM2", "COM3", "COM4", "COM7"}));
  EXPECT_EQ(edit, "COM7");
  EXPECT_EQ(dialog_.PortName(), "COM7");
}

TEST_F(SettingsDialogTest, TheLookUpIgnoresLetterCase) {
  int count = 0;
  const int result = Run("com2", false, [&] {
    count = dialog_.PortList()->count();
    EXPECT_EQ(dialog_.PortList()->currentIndex(), 1);
    ClickOk();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(dialog_.PortName(), "COM2");
}

TEST_F(SettingsDialogTest, ATypedNameIsTakenAsTypedAndSortedIn) {
  // Qt keeps the current item (COM1) while the user types.
  const int result = Run("COM1", false, [&] {
    dialog_.PortList()->lineEdit()->setText("COM10");
    ClickOk();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(dialog_.PortName(), "COM10");
  EXPECT_EQ(Items(dialog_.PortList()), (QStringList{"COM1", "COM10", "COM2", "COM3", "COM4"}));
}

TEST_F(SettingsDialogTest, ATypedNameThatMatchesAnItemTakesTheItem) {
  Run("COM1", false, [&] {
    dialog_.PortList()->lineEdit()->setText("COM3");
    ClickOk();
  });
  EXPECT_EQ(dialog_.PortName(), "COM3");
  EXPECT_EQ(dialog_.PortList()->count(), 4);
  // A typed name differing from an item only in letter case is a name of its own.
  Run("COM1", false, [&] {
    dialog_.PortList()->lineEdit()->setText("com3");
    ClickOk();
  });
  EXPECT_EQ(dialog_.PortName(), "com3");
  EXPECT_EQ(dialog_.PortList()->count(), 5);
  // Names outside the COM range sort in too.
  Run("COM1", false, [&] {
    dialog_.PortList()->lineEdit()->setText("/dev/ttyUSB0");
    ClickOk();
  });
  EXPECT_EQ(dialog_.PortName(), "/dev/ttyUSB0");
  EXPECT_EQ(Items(dialog_.PortList()).first(), "/dev/ttyUSB0");
}

TEST_F(SettingsDialogTest, AnEmptyFieldGivesTheEmptyName) {
  const int result = Run("COM3", false, [&] {
    dialog_.PortList()->setCurrentIndex(-1);
    dialog_.PortList()->lineEdit()->clear();
    ClickOk();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(dialog_.PortName(), "");
}

TEST_F(SettingsDialogTest, ReadOnlyDisablesTheListAndKeepsTheName) {
  bool enabled = true;
  const int result = Run("/dev/pts/9", true, [&] {
    enabled = dialog_.PortList()->isEnabled();
    dialog_.PortList()->setCurrentIndex(0);  // even a change made anyway is not taken
    ClickOk();
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_FALSE(enabled);
  EXPECT_EQ(dialog_.PortName(), "/dev/pts/9");
}

TEST_F(SettingsDialogTest, CancelKeepsTheNameHandedIn) {
  const int result = Run("COM2", false, [&] {
    dialog_.PortList()->setCurrentIndex(3);
    dialog_.CancelButton()->click();
  });
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_EQ(dialog_.PortName(), "COM2");
}

TEST_F(SettingsDialogTest, OkHasTheFocusAndTabGoesOkCancelList) {
  QWidget* focused = nullptr;
  Run("COM1", false, [&] {
    focused = dialog_.focusWidget();
    ClickOk();
  });
  EXPECT_EQ(focused, dialog_.OkButton());
  EXPECT_EQ(dialog_.OkButton()->nextInFocusChain(), dialog_.CancelButton());
}

}  // namespace
}  // namespace vxr
