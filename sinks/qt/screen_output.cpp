#include "sinks/qt/screen_output.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPainter>
#include <QScreen>
#include <QSurfaceFormat>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vboard/program/burn_in.h"
#include "vboard/server/board_clock.h"

namespace vxr {
namespace {

constexpr int kStandardWidth = 720;  // the width of 576- and 486-line pictures
constexpr int kStandardLinesMost = 576;
constexpr int kFourThreeWidth = 4;
constexpr int kFourThreeHeight = 3;
constexpr int kWideWidth = 16;
constexpr int kWideHeight = 9;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kNanosecondsPerMicrosecond = 1'000;
constexpr double kMicrosecondsPerSecond = 1e6;
// The recent handover time follows each new one by an eighth: a late picture moves it little.
constexpr std::int64_t kHandoverSmoothing = 8;

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

// A QImage over the frame's pixels, keeping them alive without a copy.
QImage WrapPixels(const ProgramFrame& frame) {
  auto* keep = new std::shared_ptr<const std::vector<std::uint32_t>>(frame.pixels);
  return QImage(
      reinterpret_cast<const uchar*>((*keep)->data()), frame.width, frame.height,
      frame.width * static_cast<int>(sizeof(std::uint32_t)), QImage::Format_RGB32,
      [](void* info) {
        delete static_cast<std::shared_ptr<const std::vector<std::uint32_t>>*>(info);
      },
      keep);
}

std::string ScreenText(int index, const QScreen* screen) {
  const QRect geometry = screen->geometry();
  return "screen " + std::to_string(index) + " \"" + screen->name().toStdString() + "\" " +
         std::to_string(geometry.width()) + "x" + std::to_string(geometry.height());
}

}  // namespace

QSize DisplayAspect(int width, int height, bool wide) {
  if (width == kStandardWidth && height > 0 && height <= kStandardLinesMost) {
    return wide ? QSize(kWideWidth, kWideHeight) : QSize(kFourThreeWidth, kFourThreeHeight);
  }
  return {width, height};
}

QRect DisplayRect(const QSize& area, int width, int height, bool wide) {
  if (width <= 0 || height <= 0 || area.isEmpty()) return {};
  const QSize size = DisplayAspect(width, height, wide).scaled(area, Qt::KeepAspectRatio);
  return {QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2), size};
}

class CScreenOutput::PlainView : public QWidget {
 public:
  explicit PlainView(CScreenOutput* owner) : owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    owner_->Paint(this);
    std::lock_guard lock(owner_->mutex_);
    ++owner_->counts_.presented;
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
    connect(this, &QOpenGLWidget::frameSwapped, this, [owner] {
      std::lock_guard lock(owner->mutex_);
      ++owner->counts_.presented;
    });
  }

 protected:
  void paintGL() override { owner_->Paint(this); }

 private:
  CScreenOutput* const owner_;
};

std::shared_ptr<CScreenOutput> CScreenOutput::Create(const ScreenSettings& settings,
                                                     const OutputFormat& format,
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
  return std::shared_ptr<CScreenOutput>(new CScreenOutput(settings, format, screens[index]));
}

CScreenOutput::CScreenOutput(const ScreenSettings& settings, const OutputFormat& format,
                             QScreen* screen)
    : format_(format),
      period_ns_(kNanosecondsPerSecond * format.rate_den / std::max(format.rate_num, 1)),
      burn_timecode_(settings.burn_timecode) {
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
  image_ = QImage(format.width, format.height, QImage::Format_RGB32);
  image_.fill(Qt::black);
  QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, view_.get(),
                   [this](QScreen* removed) { OnScreenRemoved(removed); });
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
  timing_->refresh_us =
      opengl_ && refresh > 0 ? static_cast<std::int64_t>(kMicrosecondsPerSecond / refresh) : 0;
  const int index = static_cast<int>(QGuiApplication::screens().indexOf(screen));
  std::lock_guard lock(mutex_);
  name_ = ScreenText(index, screen);
}

void CScreenOutput::OnScreenRemoved(QScreen* removed) {
  if (removed != screen_) return;
  QScreen* last = nullptr;
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != removed) last = screen;
  }
  if (last == nullptr) return;  // nothing left to show on; Qt keeps the window
  PlaceOn(last);
}

void CScreenOutput::Push(std::shared_ptr<const ProgramFrame> frame) {
  {
    std::lock_guard lock(mutex_);
    if (latest_) ++counts_.replaced;
    latest_ = std::move(frame);
    ++counts_.received;
  }
  if (!posted_.exchange(true)) {
    QMetaObject::invokeMethod(
        view_.get(), [this] { Take(); }, Qt::QueuedConnection);
  }
}

void CScreenOutput::Take() {
  posted_ = false;
  std::shared_ptr<const ProgramFrame> frame;
  {
    std::lock_guard lock(mutex_);
    frame.swap(latest_);
  }
  if (!frame || !frame->pixels) return;
  const std::int64_t delay = CSteadyClock().NowNs() - frame->steady_ns;
  tick_to_handover_.Add(std::chrono::nanoseconds(delay));
  const std::int64_t delay_us = delay / kNanosecondsPerMicrosecond;
  const std::int64_t recent = timing_->handover_us.load();
  timing_->handover_us = recent < 0 ? delay_us : recent + (delay_us - recent) / kHandoverSmoothing;
  if (burn_timecode_) {
    QImage image(frame->width, frame->height, QImage::Format_RGB32);
    std::memcpy(image.bits(), frame->pixels->data(), frame->pixels->size() * sizeof(std::uint32_t));
    BurnInTimecode(reinterpret_cast<std::uint32_t*>(image.bits()), frame->width, frame->height,
                   frame->timecode);
    image_ = std::move(image);
  } else {
    image_ = WrapPixels(*frame);
  }
  shown_tick_ = frame->tick;
  shown_wide_ = frame->wide;
  view_->update();
  std::lock_guard lock(mutex_);
  ++counts_.handed;
  if (delay > period_ns_) ++counts_.late;
}

void CScreenOutput::Paint(QWidget* target) {
  QPainter painter(target);
  painter.fillRect(target->rect(), Qt::black);
  const QRect place = DisplayRect(target->size(), image_.width(), image_.height(), shown_wide_);
  if (place.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(place, image_);
}

std::int64_t CScreenOutput::Timing::DelayUs() const {
  const std::int64_t handover = handover_us.load();
  return handover < 0 ? -1 : handover + refresh_us.load();
}

std::function<std::int64_t()> CScreenOutput::PictureDelaySource() const {
  return [timing = timing_] { return timing->DelayUs(); };
}

CScreenOutput::Counts CScreenOutput::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

ProgramSinkStats CScreenOutput::Stats() const {
  const Counts counts = this->counts();
  ProgramSinkStats stats;
  stats.received = counts.received;
  stats.sent = counts.handed;
  stats.dropped = counts.replaced;
  return stats;
}

std::string CScreenOutput::Name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

}  // namespace vxr
