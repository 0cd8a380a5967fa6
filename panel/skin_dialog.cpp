#include "panel/skin_dialog.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "panel/image_painter.h"

namespace vxr {
namespace {

// One read of the skin file takes at most this many characters; a longer line is split.
constexpr int kLineChars = 254;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The next line of the file without its line end (LF or CR LF); false at the end.
bool ReadLine(std::FILE* file, std::string* line) {
  char buffer[kLineChars + 1];
  if (std::fgets(buffer, sizeof buffer, file) == nullptr) return false;
  line->assign(buffer, std::strlen(buffer));
  if (!line->empty() && line->back() == '\n') line->pop_back();
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Reads whitespace-separated fields as scanf's "%d" and "%s" would.
class FieldScanner {
 public:
  explicit FieldScanner(std::string_view text) : text_(text) {}

  bool Word(std::string* out) {
    SkipBlanks();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) ++pos_;
    if (pos_ == start) return false;
    out->assign(text_.substr(start, pos_ - start));
    return true;
  }

  // A signed decimal; values beyond the int range are held at its ends.
  bool Int(int* out) {
    SkipBlanks();
    std::size_t p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) negative = text_[p++] == '-';
    const std::size_t digits = p;
    long long value = 0;
    for (; p < text_.size() && text_[p] >= '0' && text_[p] <= '9'; ++p) {
      if (value <= INT_MAX) value = value * 10 + (text_[p] - '0');
    }
    if (p == digits) return false;
    pos_ = p;
    value = negative ? -value : value;
    *out = static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
    return true;
  }

  bool Ints(std::initializer_list<int*> outs) {
    for (int* out : outs) {
      if (!Int(out)) return false;
    }
    return true;
  }

  bool Words(std::span<std::string> outs) {
    for (std::string& out : outs) {
      if (!Word(&out)) return false;
    }
    return true;
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// The image directory. Names are appended to it character for character, so it normally ends
// in a separator. It never holds more than kMaxSkinPath characters; a value that would make it
// longer leaves it marked too long, and then every image fails to load (with its usual message)
// rather than being read from some other folder.
class ImageDirectory {
 public:
  explicit ImageDirectory(std::string_view skin_path) {
    const std::size_t slash = skin_path.rfind('/');
    Set(slash == std::string_view::npos ? std::string_view() : skin_path.substr(0, slash + 1));
  }

  void Apply(std::string_view value) {
    if (IsAbsolute(value)) {
      Set(value);
      return;
    }
    if (too_long_) return;
    std::string next = path_;
    next += value;
    if (next.back() != '/' && next.back() != '\\') next += '/';
    Set(next);
  }

  // What ReadBitmapFile is given: the directory, or, when too long, a text that is itself too
  // long, so that no image path built from it can be opened.
  std::string_view Path() const { return too_long_ ? kTooLong : std::string_view(path_); }

 private:
  static bool IsAbsolute(std::string_view value) {
    return value.find(':') != std::string_view::npos ||
           value.find("\\\\") != std::string_view::npos || value.front() == '/';
  }

  void Set(std::string_view value) {
    too_long_ = value.size() > kMaxSkinPath;
    path_ = too_long_ ? std::string() : std::string(value);
  }

  static inline const std::string kTooLong = std::string(kMaxSkinPath + 1, '/');
  std::string path_;
  bool too_long_ = false;
};

bool IsKeyword(const std::string& line, const char* keyword) {
  return line.compare(0, 4, keyword) == 0;
}

// The font face of a label record: between the first double quote and the next, or to the end
// of the line when there is no closing quote; empty without any quote.
std::string FaceName(const std::string& line) {
  const std::size_t open = line.find('"');
  if (open == std::string::npos) return std::string();
  const std::size_t close = line.find('"', open + 1);
  return line.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

int CommandModeOf(char record_type) {
  return IsUpper(record_type) ? kCommandOnRelease : kCommandOnPress;
}

// The loader's message, whole; Fail bounds it (between UTF-8 characters).
template <class Argument>
std::string FormatMessage(const char* format, Argument argument) {
  const int length = std::snprintf(nullptr, 0, format, argument);
  if (length <= 0) return std::string();
  std::string message(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(message.data(), message.size(), format, argument);
  message.pop_back();
  return message;
}

// Copies text into a buffer of size bytes, cut so that it stays terminated and no UTF-8
// character is split.
void CopyCut(const std::string& text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  std::size_t length = std::min(text.size(), size - 1);
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

// The loader's failure: the message, bounded by its formatting buffer, goes to the caller's
// buffer; the result is its length plus one.
int Fail(const std::string& message, char* error_text, std::size_t error_size) {
  char bounded[CSkinDialog::kErrorTextBytes];
  CopyCut(message, bounded, sizeof bounded);
  CopyCut(bounded, error_text, error_size);
  return static_cast<int>(std::strlen(bounded)) + 1;
}

// The skin's first pass: the image directory of its path records, and the background's name
// from its base record (empty when there is none).
std::string ScanDirectoryAndBase(std::FILE* file, ImageDirectory* directory) {
  std::string base_name;
  std::string line;
  while (ReadLine(file, &line)) {
    const bool is_path = IsKeyword(line, "path");
    if (!is_path && !IsKeyword(line, "base")) continue;
    FieldScanner fields(line);
    std::string keyword, value;
    if (!fields.Word(&keyword) || !fields.Word(&value)) continue;
    if (is_path) {
      directory->Apply(value);
    } else {
      base_name = value;
    }
  }
  return base_name;
}

bool InIndexRange(int index) { return index >= 0 && index < CSkinDialog::kControlsPerKind; }

}  // namespace

std::string SkinPathForExecutable(std::string_view executable_path) {
  const std::size_t slash = executable_path.rfind('/');
  const std::size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = executable_path.find('.', name_start);
  std::string path(executable_path.substr(0, dot));
  path += ".skn";
  return path;
}

CSkinDialog::CSkinDialog(QWidget* parent) : QDialog(parent, Qt::Window | Qt::FramelessWindowHint) {
  timecode_.installEventFilter(this);
  for (int i = 0; i < kControlsPerKind; ++i) {
    labels_[i].installEventFilter(this);
    indicators_[i].installEventFilter(this);
    buttons_[i].installEventFilter(this);
  }
}

CSkinDialog::~CSkinDialog() { ReleaseSkin(); }

std::string CSkinDialog::SkinPath() const {
  if (!skin_path_.empty()) return skin_path_;
  return SkinPathForExecutable(QCoreApplication::applicationFilePath().toStdString());
}

CPanelPrompter& CSkinDialog::Prompter() const {
  return prompter_ != nullptr ? *prompter_ : CPanelPrompter::Default();
}

bool CSkinDialog::LoadSkin(bool show_message) {
  char error_text[kErrorTextBytes];
  if (ParseSkin(SkinPath(), error_text, sizeof error_text) == 0) return true;
  if (show_message) Prompter().ShowMessage(this, "Load Skin", error_text, MessageIcon::kWarning);
  return false;
}

int CSkinDialog::ParseSkin(const std::string& skin_path, char* error_text, std::size_t error_size) {
  File file(std::fopen(NativeSkinPath(skin_path).c_str(), "r"));
  struct stat info {};
  if (file && (::fstat(::fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode))) file.reset();
  if (!file) {
    return Fail(FormatMessage("Can not open skin file '%s'", skin_path.c_str()), error_text,
                error_size);
  }

  // First pass: the image directory and the background.
  ImageDirectory directory(skin_path);
  const std::string base_name = ScanDirectoryAndBase(file.get(), &directory);
  if (base_name.empty()) {
    return Fail("Skin has not background image (keyword : 'base')", error_text, error_size);
  }
  SkinImage background;
  if (!ReadBitmapFile(directory.Path(), base_name, &background)) {
    return Fail(FormatMessage("Can not load background image '%s'", base_name.c_str()), error_text,
                error_size);
  }
  background_ = std::move(background);
  setFixedSize(background_.Width(), background_.Height());
  update();

  // Second pass: the controls, in the order of their records.
  std::rewind(file.get());
  std::string line;
  while (ReadLine(file.get(), &line)) {
    const std::string message = LoadControlRecord(line, directory.Path());
    if (!message.empty()) return Fail(message, error_text, error_size);
  }
  CopyCut(std::string(), error_text, error_size);
  return 0;
}

std::string CSkinDialog::LoadControlRecord(const std::string& line, std::string_view dir) {
  if (line.empty()) return std::string();
  const char type = line[0];
  const std::string_view fields = std::string_view(line).substr(1);
  switch (type) {
    case 'B':
    case 'b':
      return LoadButton(type, fields, dir);
    case 'I':
    case 'i':
      return LoadIndicator(fields, dir);
    case 'L':
    case 'l':
      return LoadLabel(type, fields, line, dir);
    case 'T':
    case 't':
      return LoadTimecode(fields, dir);
    default:
      return std::string();
  }
}

std::string CSkinDialog::LoadButton(char type, std::string_view record, std::string_view dir) {
  FieldScanner fields(record);
  int index = 0, x = 0, y = 0;
  std::array<std::string, 4> names;
  if (!fields.Ints({&index, &x, &y}) || !fields.Words(names) || !InIndexRange(index) ||
      buttons_[index].IsLoaded()) {
    return std::string();
  }
  buttons_[index].Create(this, kButtonIdBase + index, x, y);
  if (!buttons_[index].LoadImages(dir, names, CommandModeOf(type))) {
    return FormatMessage("Can not load button # %d", index);
  }
  return std::string();
}

std::string CSkinDialog::LoadIndicator(std::string_view record, std::string_view dir) {
  FieldScanner fields(record);
  int index = 0, x = 0, y = 0;
  std::array<std::string, 2> names;
  if (!fields.Ints({&index, &x, &y}) || !fields.Words(names) || !InIndexRange(index) ||
      indicators_[index].IsLoaded()) {
    return std::string();
  }
  indicators_[index].Create(this, kIndicatorIdBase + index, x, y);
  if (!indicators_[index].LoadImages(dir, names)) {
    return FormatMessage("Can not load indicator # %d", index);
  }
  return std::string();
}

std::string CSkinDialog::LoadLabel(char type, std::string_view record, const std::string& line,
                                   std::string_view dir) {
  FieldScanner fields(record);
  int index = 0, x = 0, y = 0;
  std::string image, face_field;
  int red = 0, green = 0, blue = 0, height = 0, style = 0;
  if (!fields.Ints({&index, &x, &y}) || !fields.Word(&image) ||
      !fields.Ints({&red, &green, &blue, &height, &style}) || !fields.Word(&face_field) ||
      !InIndexRange(index) || labels_[index].IsLoaded()) {
    return std::string();
  }
  labels_[index].Create(this, kLabelIdBase + index, x, y);
  if (!labels_[index].LoadLabel(dir, image, FaceName(line), height, style, red, green, blue,
                                CommandModeOf(type))) {
    return FormatMessage("Can not load label # %d", index);
  }
  return std::string();
}

std::string CSkinDialog::LoadTimecode(std::string_view record, std::string_view dir) {
  FieldScanner fields(record);
  int index = 0, x = 0, y = 0;
  std::array<std::string, 4> names;  // background, digit 0, minus sign, separator
  if (!fields.Ints({&index, &x, &y}) || !fields.Words(names) || index != 0 ||
      timecode_.IsLoaded()) {
    return std::string();
  }
  timecode_.Create(this, kTimecodeId, x, y);
  if (!timecode_.LoadTimecode(dir, names[0], names[1], names[2], names[3])) {
    return "Can not load time code";
  }
  return std::string();
}

const CSkinDialog::CommandTable& CSkinDialog::SkinDialogCommands() {
  static const CommandEntry kEntries[] = {
      {kIdOk, &Invoke<CSkinDialog, &CSkinDialog::OnOk>},
      {kIdCancel, &Invoke<CSkinDialog, &CSkinDialog::OnCancel>},
  };
  static const CommandTable kTable{nullptr, kEntries};
  return kTable;
}

const CSkinDialog::CommandTable& CSkinDialog::Commands() const { return SkinDialogCommands(); }

bool CSkinDialog::OnCommand(int id) {
  for (const CommandTable* table = &Commands(); table != nullptr; table = table->base) {
    for (const CommandEntry& entry : table->entries) {
      if (entry.id == id) {
        entry.handler(*this);
        return true;
      }
    }
  }
  return false;
}

void CSkinDialog::OnOk() { accept(); }
void CSkinDialog::OnCancel() { reject(); }

bool CSkinDialog::OnInitDialog() { return true; }

void CSkinDialog::RunInitOnce() {
  if (initialised_) return;
  initialised_ = true;
  OnInitDialog();
}

int CSkinDialog::exec() {
  ended_ = false;
  RunInitOnce();
  if (ended_) return result();
  return QDialog::exec();
}

void CSkinDialog::done(int result) {
  ++done_depth_;
  QDialog::done(result);
  --done_depth_;
  if (done_depth_ > 0) return;  // closing from inside an ending: the outer call finishes
  ended_ = true;
  OnDestroy();
  // A later run starts again from its initialisation, as a new window would.
  initialised_ = false;
}

void CSkinDialog::OnDestroy() { ReleaseSkin(); }

void CSkinDialog::ReleaseSkin() {
  timecode_.ReleaseImages();
  for (CSkinIndicator& indicator : indicators_) {
    if (indicator.IsLoaded()) indicator.ReleaseImages();
  }
  for (CSkinButton& button : buttons_) {
    if (button.IsLoaded()) button.ReleaseImages();
  }
  for (CSkinLabel& label : labels_) {
    if (label.IsLoaded()) label.ReleaseImages();
  }
  background_.Release();
  dragging_ = false;
}

void CSkinDialog::showEvent(QShowEvent* event) {
  RunInitOnce();
  QDialog::showEvent(event);
}

void CSkinDialog::paintEvent(QPaintEvent* event) {
  if (!background_.IsLoaded()) {
    QDialog::paintEvent(event);
    return;
  }
  QPainter painter(this);
  DrawSkinImage(painter, background_);
}

void CSkinDialog::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QDialog::mousePressEvent(event);
    return;
  }
  event->accept();
  last_pos_ = event->globalPosition().toPoint();
  drag_threshold_ = kDragThreshold;
  dragging_ = true;
}

void CSkinDialog::mouseMoveEvent(QMouseEvent* event) {
  // A drag whose release never arrived (another window took the pointer, a dialog opened
  // mid-drag) ends at the first move without the left button.
  if (dragging_ && (event->buttons() & Qt::LeftButton) == 0) dragging_ = false;
  if (!dragging_) {
    QDialog::mouseMoveEvent(event);
    return;
  }
  event->accept();
  const QPoint point = event->globalPosition().toPoint();
  const QPoint delta = point - last_pos_;
  if (std::abs(delta.x()) <= drag_threshold_ && std::abs(delta.y()) <= drag_threshold_) return;
  last_pos_ = point;
  drag_threshold_ = 0;
  move(pos() + delta);
}

void CSkinDialog::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) {
    QDialog::mouseReleaseEvent(event);
    return;
  }
  event->accept();
  dragging_ = false;
}

bool CSkinDialog::eventFilter(QObject* watched, QEvent* event) {
  // Every press starts a gesture of its own: one that a button or label takes ends any drag
  // left over, and one that an indicator or the timecode passes on starts a new one here.
  if (event->type() == QEvent::MouseButtonPress) dragging_ = false;
  return QDialog::eventFilter(watched, event);
}

bool CSkinDialog::event(QEvent* event) {
  // The pointer is no longer the panel's: a modal dialog blocks it or it is hidden.
  if (event->type() == QEvent::WindowBlocked || event->type() == QEvent::Hide) dragging_ = false;
  return QDialog::event(event);
}

void CSkinDialog::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        OnCommand(kIdOk);
        return;
      case Qt::Key_Escape:
        OnCommand(kIdCancel);
        return;
      default:
        break;
    }
  }
  QDialog::keyPressEvent(event);
}

}  // namespace vxr
