#pragma once

#include <QWidget>

#include "panel/skin_image.h"

class QMouseEvent;

namespace vxr {

// What a control's parent offers for commands: a button or label calls OnCommand with its
// control id, synchronously, so the handler has finished when the press or release returns.
class ISkinCommandTarget {
 public:
  virtual ~ISkinCommandTarget() = default;
  // True when a handler took the command.
  virtual bool OnCommand(int id) = 0;
};

// Control ids of the panel's elements: button i is kButtonIdBase + i, and so on.
inline constexpr int kIndicatorIdBase = 1010;
inline constexpr int kButtonIdBase = 1020;
inline constexpr int kLabelIdBase = 1030;
inline constexpr int kTimecodeId = 1040;

// How a button or label sends its command: on release (upper-case skin record) or on press
// (lower case).
inline constexpr int kCommandOnRelease = 1;
inline constexpr int kCommandOnPress = 2;

// Common base of the panel's controls. The object lives as long as the panel; it becomes a
// visible child of the panel only when the skin describes it (Create). Controls paint every
// pixel themselves, so nothing behind them is ever repainted for them. A left press that a
// control does not handle itself is left unhandled, and Qt passes it on to the panel, which
// then holds the mouse for a drag.
class CSkinControl : public QWidget {
 public:
  CSkinControl();
  ~CSkinControl() override;

  // Makes the control a visible child of panel with its top-left corner at (x, y). The size
  // is provisional until a loader sizes the control to its image.
  void Create(QWidget* panel, int id, int x, int y);
  bool IsCreated() const { return created_; }
  int ControlId() const { return id_; }
  bool IsLoaded() const { return loaded_; }

  // Frees the control's images and marks it not loaded.
  virtual void ReleaseImages() = 0;

 protected:
  void mousePressEvent(QMouseEvent* event) override;

  // Accepts a left-button event (true); any other button is left unhandled (false).
  static bool AcceptLeftButton(QMouseEvent* event);
  void SetLoaded(bool loaded) { loaded_ = loaded; }
  void SizeToImage(const SkinImage& image);
  // Repaints at once, but only a loaded control: one the skin never created only keeps its
  // state.
  void RepaintIfLoaded();
  // Calls the parent's command handler with this control's id.
  void SendCommand();

 private:
  bool loaded_ = false;
  bool created_ = false;
  int id_ = 0;
};

}  // namespace vxr
