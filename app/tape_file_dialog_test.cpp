#include "app/tape_file_dialog.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
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
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog.nameFilters(),
            QStringList{"AVI files and TML projects (*.avi *.tml)"});
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

TEST_F(TapeFileDialogTest, CancelChoosesNothing) {
  QTimer::singleShot(0, [] {
    if (QWidget* modal = QApplication::activeModalWidget()) qobject_cast<QDialog*>(modal)->reject();
  });
  EXPECT_EQ(CTapeFileDialog::Choose(nullptr, "Open", folder_.path(), CTapeFileDialog::kFilter),
            "");
}

}  // namespace
}  // namespace vxr
