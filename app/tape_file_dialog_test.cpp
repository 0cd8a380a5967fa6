#include "app/tape_file_dialog.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <set>

#include "app/app_test_support.h"
#include "testing/media/test_tapes.h"

namespace vxr {
namespace {

class TapeFileDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureQtApplication(); }
  std::string Touch(const std::string& name) { return folder_.WriteFile(name, "x"); }
  testing::TempFolder folder_;
};

TEST_F(TapeFileDialogTest, ANameWithoutExtensionFindsItsAviInAnyLetterCase) {
  const std::string base = folder_.File("clip");
  EXPECT_EQ(ResolveTypedTapeName(base), base + ".AVI");  // nothing there: refused as NAME.AVI
  Touch("clip.Avi");
  EXPECT_EQ(ResolveTypedTapeName(base), base + ".Avi");
  Touch("clip.aVI");
  EXPECT_EQ(ResolveTypedTapeName(base), base + ".Avi");  // the first in sorted order
  Touch("clip.avi");
  EXPECT_EQ(ResolveTypedTapeName(base), base + ".avi");
  Touch("clip.AVI");
  EXPECT_EQ(ResolveTypedTapeName(base), base + ".AVI");
}

TEST_F(TapeFileDialogTest, NamesWithAnExtensionAndFoldersAreTakenAsTyped) {
  Touch("reel.avi");
  Touch("reel.mpg.avi");
  EXPECT_EQ(ResolveTypedTapeName(folder_.File("reel.mpg")), folder_.File("reel.mpg"));
  EXPECT_EQ(ResolveTypedTapeName(folder_.File("reel.tml")), folder_.File("reel.tml"));
  std::filesystem::create_directory(folder_.File("reel"));
  EXPECT_EQ(ResolveTypedTapeName(folder_.File("reel")), folder_.File("reel"));
  // Only .avi is appended, never another extension.
  Touch("show.tml");
  EXPECT_EQ(ResolveTypedTapeName(folder_.File("show")), folder_.File("show.AVI"));
  // A file named like a folder of candidates is not a match.
  std::filesystem::create_directory(folder_.File("dir.avi"));
  EXPECT_EQ(ResolveTypedTapeName(folder_.File("dir")), folder_.File("dir.AVI"));
  EXPECT_EQ(ResolveTypedTapeName(""), "");
}

TEST_F(TapeFileDialogTest, TheDialogIsQtsOwnForExistingFilesOnly) {
  CTapeFileDialog dialog(nullptr, "Open", QString::fromStdString(folder_.path()),
                         CTapeFileDialog::kFilter);
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
  // Any typed text can be offered; accept() insists on an existing file (below).
  EXPECT_EQ(dialog.fileMode(), QFileDialog::AnyFile);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog.nameFilters(), QStringList{"AVI files and TML projects (*.avi *.tml)"});
}

TEST_F(TapeFileDialogTest, TheFilterShowsTapesInAnyLetterCase) {
  for (const char* name : {"a.avi", "B.AVI", "c.Tml", "d.TML", "e.mpg", "f.avi.txt"}) Touch(name);
  CTapeFileDialog dialog(nullptr, "Open", QString::fromStdString(folder_.path()),
                         CTapeFileDialog::kFilter);
  dialog.show();
  auto* view = dialog.findChild<QAbstractItemView*>("listView");
  ASSERT_NE(view, nullptr);
  std::set<std::string> shown;
  const bool listed = testing::WaitUntil([&] {
    shown.clear();
    QAbstractItemModel* model = view->model();
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
      shown.insert(model->index(row, 0, root).data().toString().toStdString());
    }
    return shown.size() >= 4;
  });
  EXPECT_TRUE(listed);
  // Give a slow file system a moment more, then check nothing else came.
  testing::WaitUntil([] { return false; }, 200);
  EXPECT_EQ(shown, (std::set<std::string>{"a.avi", "B.AVI", "c.Tml", "d.TML"}));
  dialog.reject();
}

TEST_F(TapeFileDialogTest, ATypedNameWithoutExtensionChoosesTheTape) {
  const std::string tape = Touch("clip.avi");
  std::string chosen = "not run";
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CTapeFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText("clip");
    dialog->accept();
  });
  chosen = CTapeFileDialog::Choose(nullptr, "Open", folder_.path(), CTapeFileDialog::kFilter);
  EXPECT_EQ(chosen, tape);
}

TEST_F(TapeFileDialogTest, AMissingFileIsRefusedAndTheDialogStaysOpen) {
  Touch("clip.mpg");
  std::filesystem::create_directory(folder_.File("reels"));
  std::string warning;
  bool still_open = false;
  QString folder_after_enter;
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CTapeFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    // The refusal is a message box of its own; read it and close it.
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        warning = box->text().toStdString();
        box->accept();
      }
    });
    name->setText("clip");
    dialog->accept();
    still_open = dialog->isVisible() && dialog->result() != QDialog::Accepted;
    // A typed folder name opens the folder.
    name->setText("reels");
    dialog->accept();
    folder_after_enter = dialog->directory().absolutePath();
    dialog->reject();
  });
  EXPECT_EQ(CTapeFileDialog::Choose(nullptr, "Open", folder_.path(), CTapeFileDialog::kFilter), "");
  EXPECT_EQ(warning, "clip.AVI\nFile not found.\nPlease verify the correct file name was given.");
  EXPECT_TRUE(still_open);
  EXPECT_EQ(folder_after_enter.toStdString(), folder_.File("reels"));
}

TEST_F(TapeFileDialogTest, ANameTypedWithTheKeyboardAndReturnChoosesTheTape) {
  // While the name field has the focus Qt does not rewrite it, and its completer may be open.
  const std::string tape = Touch("sample.avi");
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CTapeFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setFocus();
    QTest::keyClicks(name, "sample");
    QWidget* popup = QApplication::activePopupWidget();
    QTest::keyClick(popup != nullptr ? popup : name, Qt::Key_Return);
    if (dialog->isVisible()) QTest::keyClick(name, Qt::Key_Return);
  });
  EXPECT_EQ(CTapeFileDialog::Choose(nullptr, "Open", folder_.path(), CTapeFileDialog::kFilter),
            tape);
}

TEST_F(TapeFileDialogTest, CancelChoosesNothing) {
  QTimer::singleShot(0, [] {
    if (QWidget* modal = QApplication::activeModalWidget()) qobject_cast<QDialog*>(modal)->reject();
  });
  EXPECT_EQ(CTapeFileDialog::Choose(nullptr, "Open", folder_.path(), CTapeFileDialog::kFilter), "");
}

}  // namespace
}  // namespace vxr
