#pragma once

#include <QDialog>
#include <QPoint>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "panel/panel_prompter.h"
#include "panel/skin_button.h"
#include "panel/skin_image.h"
#include "panel/skin_indicator.h"
#include "panel/skin_label.h"
#include "panel/skin_timecode.h"

namespace vxr {

// The skin file of a program: next to it, named after the executable's file name with its
// extension (from the first dot of the file name; folder names do not count) replaced by
// ".skn", or ".skn" appended when the name has no dot.
std::string SkinPathForExecutable(std::string_view executable_path);

// The window that carries the skin: a frameless top-level dialog that owns the background and
// ten buttons, ten indicators, ten labels and one timecode display, paints the background, is
// dragged by the mouse while the left button is held (with a dead zone of 8 pixels in screen
// coordinates) and releases every image when it ends. Derived panels add their behaviour
// through the command table and the init and destroy hooks.
class CSkinDialog : public QDialog, public ISkinCommandTarget {
 public:
  static constexpr int kControlsPerKind = 10;
  static constexpr int kErrorTextBytes = 512;
  static constexpr int kDragThreshold = 8;
  // Commands of the dialog itself (Enter and Escape).
  static constexpr int kIdOk = 1;
  static constexpr int kIdCancel = 2;

  explicit CSkinDialog(QWidget* parent = nullptr);
  ~CSkinDialog() override;

  // The skin LoadSkin reads; by default the one named after the running program.
  void SetSkinPath(std::string path) { skin_path_ = std::move(path); }
  std::string SkinPath() const;

  // Reads the skin. On failure, with show_message, the loader's text is shown in a box captioned
  // "Load Skin" with the exclamation icon; returns whether the skin loaded.
  virtual bool LoadSkin(bool show_message);

  // Reads skin_path: 0 on success with an empty error text; otherwise the length of the message
  // plus one, with the message copied into error_text (cut to error_size bytes, terminated).
  int ParseSkin(const std::string& skin_path, char* error_text, std::size_t error_size);

  // Runs the handler that the command table (most derived first, then each base's) holds for
  // id; false when none does.
  bool OnCommand(int id) override;

  CSkinButton& Button(int index) { return buttons_[index]; }
  CSkinIndicator& Indicator(int index) { return indicators_[index]; }
  CSkinLabel& Label(int index) { return labels_[index]; }
  CSkinTimecode& Timecode() { return timecode_; }
  const SkinImage& Background() const { return background_; }
  bool IsDragging() const { return dragging_; }

  // Message boxes and file dialogs of this panel; by default CPanelPrompter::Default().
  void SetPrompter(CPanelPrompter* prompter) { prompter_ = prompter; }
  CPanelPrompter& Prompter() const;

  // The modal run: OnInitDialog first (a dialog ended there returns at once, without showing),
  // then the dialog's loop. When it ends, the destroy hook has run.
  int exec() override;
  // Ends the dialog, then runs the destroy hook, before a modal run returns.
  void done(int result) override;

 protected:
  using CommandHandler = void (*)(CSkinDialog& dialog);
  struct CommandEntry {
    int id;
    CommandHandler handler;
  };
  struct CommandTable {
    const CommandTable* base;  // the base class's table, or null
    std::span<const CommandEntry> entries;
  };
  // Turns a member function of a derived dialog into a table entry's handler:
  // {1025, &CSkinDialog::Invoke<CMyPanel, &CMyPanel::OnPlay>}.
  template <class Dialog, void (Dialog::*Handler)()>
  static void Invoke(CSkinDialog& dialog) {
    (static_cast<Dialog&>(dialog).*Handler)();
  }
  // The table of the most derived class; a derived class returns its own, whose base is its
  // base class's table (this class's is SkinDialogCommands()).
  virtual const CommandTable& Commands() const;
  static const CommandTable& SkinDialogCommands();

  // Runs once before the dialog is first shown (exec or show); the base does nothing more.
  virtual bool OnInitDialog();
  // Runs when the dialog ends or is closed; the base releases the skin. A derived panel calls
  // the base first.
  virtual void OnDestroy();
  // Frees the background and every control's images.
  void ReleaseSkin();

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnOk();
  void OnCancel();
  void RunInitOnce();
  // The skin's second pass, one record at a time: the empty string when the record loaded or
  // is not one of a control (it is then skipped), else the loader's message. dir is the image
  // directory the first pass found.
  std::string LoadControlRecord(const std::string& line, std::string_view dir);
  std::string LoadButton(char type, std::string_view fields, std::string_view dir);
  std::string LoadIndicator(std::string_view fields, std::string_view dir);
  std::string LoadLabel(char type, std::string_view fields, const std::string& line,
                        std::string_view dir);
  std::string LoadTimecode(std::string_view fields, std::string_view dir);

  // Declared in this order, so destroyed buttons first, then indicators, labels, timecode.
  CSkinTimecode timecode_;
  CSkinLabel labels_[kControlsPerKind];
  CSkinIndicator indicators_[kControlsPerKind];
  CSkinButton buttons_[kControlsPerKind];
  bool dragging_ = false;
  QPoint last_pos_;  // screen coordinates
  int drag_threshold_ = 0;
  SkinImage background_;

  std::string skin_path_;
  CPanelPrompter* prompter_ = nullptr;
  bool initialised_ = false;
  bool ended_ = false;
  int done_depth_ = 0;
};

}  // namespace vxr
