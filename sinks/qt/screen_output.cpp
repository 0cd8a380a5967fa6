#include "sinks/qt/screen_output.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QScreen>
#include <QSurfaceFormat>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <cstring>

namespace vxr {
namespace {

constexpr double kMicrosecondsPerSecond = 1e6;

// OpenGL from a driver that draws on the graphics card. A software renderer (Mesa's llvmpipe
// under Xvfb or without a GPU) paces nothing and draws slower than the plain window.
bool HardwareOpenGlWorks() {
  QOpenGLContext context;
  if (!context.create()) return false;
  QOffscreenSurface surface;
  surface.setFormat(context.format());
  surface.create();
  if (!context.makeCurrent(&surface)) return false;
  const auto* renderer =
      reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
  const std::string name = renderer != nullptr ? renderer : "";
  context.doneCurrent();
  for (const char* software : {"llvmpipe", "softpipe", "Software"}) {
    if (name.find(software) != std::string::npos) return false;
  }
  return !name.empty();
}

std::string ScreenText(int index, const QScreen* screen) {
  const QRect geometry = screen->geometry();
  return "screen " + std::to_string(index) + " \"" + screen->name().toStdString() + "\" " +
         std::to_string(geometry.width()) + "x" + std::to_string(geometry.height());
}

}  // namespace

class CScreenOutput::PlainView : public QWidget {
 public:
  explicit PlainView(CScreenOutput* owner) : owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    owner_->Paint(this);
    owner_->CountPresented();
  }

 private:
  CScreenOutput* const owner_;
};

class CScreenOutput::GlView : public QOpenGLWidget {
 public:
  explicit GlView(CScreenOutput* owner) : owner_(owner) {
    // Swap interval 1: each swap waits for the screen's refresh, which paces the drawing.
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setSwapInterval(1);
    setFormat(format);
    connect(this, &QOpenGLWidget::frameSwapped, this, [owner] { owner->CountPresented(); });
  }

 protected:
  void paintGL() override { owner_->Paint(this); }

 private:
  CScreenOutput* const owner_;
};

std::shared_ptr<CScreenOutput> CScreenOutput::Create(const ScreenSettings& settings,
                                                     const OutputFormat& format,
                                                     std::shared_ptr<const IBoardClock> clock,
                                                     std::string* error) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  const int index = settings.screen < 0 ? static_cast<int>(screens.size()) - 1 : settings.screen;
  if (index < 0 || index >= screens.size()) {
    *error = "there is no screen " + std::to_string(settings.screen) + "; the screens are:";
    for (int i = 0; i < screens.size(); ++i) *error += " " + ScreenText(i, screens[i]) + ";";
    if (screens.empty()) *error += " none";
    if (error->back() == ';') error->pop_back();
    return nullptr;
  }
  return std::shared_ptr<CScreenOutput>(
      new CScreenOutput(settings, format, std::move(clock), screens[index]));
}

CScreenOutput::CScreenOutput(const ScreenSettings& settings, const OutputFormat& format,
                             std::shared_ptr<const IBoardClock> clock, QScreen* screen)
    : CPictureSink(format, std::move(clock), settings.burn_timecode) {
  // VXR_SCREEN_OPENGL=0 draws through a plain window whatever the driver; =1 through OpenGL
  // even from a software renderer.
  const char* use_opengl = std::getenv("VXR_SCREEN_OPENGL");
  if (use_opengl != nullptr && std::strcmp(use_opengl, "0") == 0) {
    opengl_ = false;
  } else if (use_opengl != nullptr && std::strcmp(use_opengl, "1") == 0) {
    QOpenGLContext context;
    opengl_ = context.create();
  } else {
    opengl_ = HardwareOpenGlWorks();
  }
  if (opengl_) {
    view_ = std::make_unique<GlView>(this);
  } else {
    view_ = std::make_unique<PlainView>(this);
  }
  view_->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  view_->setAttribute(Qt::WA_QuitOnClose, false);  // the panel ends the deck, not this window
  view_->setCursor(Qt::BlankCursor);
  view_->setWindowTitle("vxrdeck program output");
  TakeOn(view_.get());
  QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, view_.get(),
                   [this](QScreen* removed) { OnScreenRemoved(removed); });
  // Once every screen had gone, the first to come back takes the output; the screens that come
  // together are all in first, so that it goes to the last of them as at start.
  QObject::connect(qGuiApp, &QGuiApplication::screenAdded, view_.get(), [this](QScreen*) {
    if (screen_ != nullptr) return;
    QTimer::singleShot(0, view_.get(), [this] {
      const QList<QScreen*> screens = QGuiApplication::screens();
      if (screen_ == nullptr && !screens.isEmpty()) {
        // Qt let the window's native side go with the last screen but still counts the widget
        // as shown, so that showing it again would do nothing: hide it first.
        view_->hide();
        PlaceOn(screens.back());
      }
    });
  });
  PlaceOn(screen);
}

CScreenOutput::~CScreenOutput() = default;

void CScreenOutput::PlaceOn(QScreen* screen) {
  screen_ = screen;
  view_->winId();  // the native window exists, so that it can be put on the screen
  if (QWindow* window = view_->windowHandle()) window->setScreen(screen);
  view_->setGeometry(screen->geometry());
  view_->showFullScreen();
  const double refresh = screen->refreshRate();
  timing()->refresh_us =
      opengl_ && refresh > 0 ? static_cast<std::int64_t>(kMicrosecondsPerSecond / refresh) : 0;
  const int index = static_cast<int>(QGuiApplication::screens().indexOf(screen));
  SetName(ScreenText(index, screen));
}

void CScreenOutput::OnScreenRemoved(QScreen* removed) {
  if (removed != screen_) return;
  QScreen* last = nullptr;
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != removed) last = screen;
  }
  if (last == nullptr) {
    // Nothing left to show on: Qt keeps the window; the output waits for a screen to come back.
    screen_ = nullptr;
    return;
  }
  PlaceOn(last);
}

void CScreenOutput::Taken(bool) {
  // Every picture is drawn anew, so that OpenGL presents at the pace of the ticks.
  view_->update();
}

std::function<std::int64_t()> CScreenOutput::PictureDelaySource() const {
  return [timing = timing()] { return timing->DelayUs(); };
}

}  // namespace vxr
