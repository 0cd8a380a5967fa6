#pragma once

#include <string>

class QWidget;

namespace vxr {

enum class MessageIcon { kNone, kInformation, kWarning, kError };

// The one place through which the panel asks or tells the user something: message boxes, the
// open-file dialog and one-line notices on standard error. Tests install their own prompter to
// read the texts and answer them, since a real modal box would wait for a click for ever.
class CPanelPrompter {
 public:
  // Answers of ShowMessage.
  static constexpr int kOk = 1;

  virtual ~CPanelPrompter();

  // A modal box with an OK button, owned by owner; returns the button chosen.
  virtual int ShowMessage(QWidget* owner, const std::string& caption, const std::string& text,
                          MessageIcon icon);
  // A modal open-file dialog for an existing file; filter as Qt writes it
  // ("Tapes (*.avi *.tml);;All files (*)"). Empty when cancelled.
  virtual std::string OpenFileName(QWidget* owner, const std::string& caption,
                                   const std::string& directory, const std::string& filter);

  // One line for the user that needs no answer and must not stop the panel (a port that cannot
  // be opened): written on standard error.
  virtual void Notice(const std::string& line);

  // The prompter dialogs use unless they were given one: the installed one, else the Qt one.
  static CPanelPrompter& Default();
  // Installs a prompter for the whole process (null restores the Qt one); returns the previous
  // installed one. The caller keeps ownership.
  static CPanelPrompter* InstallDefault(CPanelPrompter* prompter);
};

}  // namespace vxr
