#include "tools/skingen/skin_generator.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "panel/skin_image.h"

namespace vxr {
namespace {

// ---- Layout of the face, shared by the background and the skin records ----------------------

constexpr int kWidth = 820;
constexpr int kHeight = 250;

// The display window: timecode above, status label below.
const QRect kDisplay(198, 16, 384, 132);
const QRect kTimecode(214, 26, 352, 64);
const QRect kStatusLabel(214, 108, 352, 28);
constexpr int kDigitW = 34, kDigitH = 54, kSeparatorW = 14, kMinusW = 20;

// Lamps, in skin order 1 to 8: shuttle, jog, servo, start of tape, end of tape, reverse,
// forward, still.
const QRect kLampPanel(598, 16, 206, 132);
constexpr int kLampW = 18, kLampH = 9;
struct Lamp {
  int index;
  const char* legend;
  QColor colour;
  int column, row;
};
const QColor kAmber(255, 170, 30), kGreen(70, 240, 90), kRed(255, 50, 40);
const std::array<Lamp, 8> kLamps = {{
    {1, "SHUTTLE", kAmber, 0, 0},
    {2, "JOG", kAmber, 1, 0},
    {3, "SERVO", kGreen, 2, 0},
    {8, "STILL", kAmber, 3, 0},
    {6, "REV", kGreen, 0, 1},
    {7, "FWD", kGreen, 1, 1},
    {4, "START", kRed, 2, 1},
    {5, "END", kRed, 3, 1},
}};
QPoint LampPosition(const Lamp& lamp) {
  return QPoint(kLampPanel.left() + 18 + lamp.column * 48, kLampPanel.top() + 40 + lamp.row * 50);
}

// Buttons 1 to 8. Caps of the transport keys carry a symbol and have their legend printed
// below; the small keys carry their legend on the cap.
enum class Cap { kPower, kText, kRewind, kPlay, kFastForward, kStop, kEject };
struct Key {
  int index;
  const char* legend;
  Cap cap;
  QColor lamp;
  QRect rect;
};
const std::array<Key, 8> kKeys = {{
    {1, "POWER", Cap::kPower, kRed, QRect(24, 182, 62, 38)},
    {2, "SETTINGS", Cap::kText, kAmber, QRect(102, 182, 62, 38)},
    {3, "REMOTE", Cap::kText, kAmber, QRect(180, 182, 62, 38)},
    {4, "REW", Cap::kRewind, kAmber, QRect(318, 178, 66, 42)},
    {5, "PLAY", Cap::kPlay, kGreen, QRect(394, 178, 66, 42)},
    {6, "F FWD", Cap::kFastForward, kAmber, QRect(470, 178, 66, 42)},
    {7, "STOP", Cap::kStop, kRed, QRect(546, 178, 66, 42)},
    {8, "EJECT", Cap::kEject, kAmber, QRect(716, 178, 66, 42)},
}};

const QColor kGlass(6, 14, 12);
const QColor kVfdLit(110, 255, 215);
const QColor kVfdDim(16, 48, 40);
const QColor kLegend(214, 214, 206);
const QColor kLegendDim(150, 152, 150);

QFont LegendFont(int pixels, bool bold = true) {
  QFont font("DejaVu Sans");
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setLetterSpacing(QFont::AbsoluteSpacing, pixels >= 12 ? 1.0 : 0.5);
  return font;
}

// ---- Drawing helpers -----------------------------------------------------------------------

QImage NewImage(int width, int height, QColor fill) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(fill);
  return image;
}

void DrawScrew(QPainter& p, QPoint centre) {
  QRadialGradient head(centre - QPoint(2, 2), 7);
  head.setColorAt(0, QColor(190, 192, 195));
  head.setColorAt(1, QColor(70, 72, 76));
  p.setPen(QPen(QColor(20, 20, 22), 1));
  p.setBrush(head);
  p.drawEllipse(centre, 5, 5);
  p.setPen(QPen(QColor(40, 40, 44), 1.5));
  p.drawLine(centre + QPoint(-3, 2), centre + QPoint(3, -2));
}

// A recessed area: dark fill with a shadow at the top left and a highlight at the bottom right.
void DrawRecess(QPainter& p, const QRect& r, QColor fill, int radius) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(12, 12, 14));
  p.drawRoundedRect(r.adjusted(-3, -3, 3, 3), radius + 2, radius + 2);
  p.setBrush(QColor(88, 92, 98));
  p.drawRoundedRect(r.adjusted(-2, -2, 3, 3), radius + 1, radius + 1);
  p.setBrush(QColor(18, 18, 20));
  p.drawRoundedRect(r.adjusted(-2, -2, 2, 2), radius + 1, radius + 1);
  p.setBrush(fill);
  p.drawRoundedRect(r, radius, radius);
}

// One seven-segment glyph; segments a to g as bits 0 to 6.
void DrawSegments(QPainter& p, const QRectF& box, int lit_mask, QColor lit, QColor dim) {
  const double t = box.width() * 0.17;  // segment thickness
  const double x0 = box.left() + t * 0.55, x1 = box.right() - t * 0.55;
  const double y0 = box.top() + t * 0.55, y2 = box.bottom() - t * 0.55;
  const double y1 = (y0 + y2) / 2;
  const double gap = t * 0.18;
  auto horizontal = [&](double xa, double xb, double y) {
    QPolygonF poly;
    poly << QPointF(xa + gap, y) << QPointF(xa + gap + t / 2, y - t / 2)
         << QPointF(xb - gap - t / 2, y - t / 2) << QPointF(xb - gap, y)
         << QPointF(xb - gap - t / 2, y + t / 2) << QPointF(xa + gap + t / 2, y + t / 2);
    return poly;
  };
  auto vertical = [&](double x, double ya, double yb) {
    QPolygonF poly;
    poly << QPointF(x, ya + gap) << QPointF(x + t / 2, ya + gap + t / 2)
         << QPointF(x + t / 2, yb - gap - t / 2) << QPointF(x, yb - gap)
         << QPointF(x - t / 2, yb - gap - t / 2) << QPointF(x - t / 2, ya + gap + t / 2);
    return poly;
  };
  const std::array<QPolygonF, 7> segments = {
      horizontal(x0, x1, y0), vertical(x1, y0, y1), vertical(x1, y1, y2),  horizontal(x0, x1, y2),
      vertical(x0, y1, y2),   vertical(x0, y0, y1), horizontal(x0, x1, y1)};
  // A slight forward lean, as on the deck's fluorescent display.
  QTransform lean;
  lean.translate(box.center().x(), box.center().y());
  lean.shear(-0.07, 0);
  lean.translate(-box.center().x(), -box.center().y());
  p.setPen(Qt::NoPen);
  for (int s = 0; s < 7; ++s) {
    const QPolygonF poly = lean.map(segments[s]);
    if ((lit_mask & (1 << s)) != 0) {
      QColor glow = lit;
      glow.setAlpha(70);
      p.setPen(QPen(glow, 2.5));
      p.setBrush(lit);
      p.drawPolygon(poly);
      p.setPen(Qt::NoPen);
    } else {
      p.setBrush(dim);
      p.drawPolygon(poly);
    }
  }
}

constexpr std::array<int, 10> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                0x6D, 0x7D, 0x07, 0x7F, 0x6F};

QImage DigitImage(int digit) {
  QImage image = NewImage(kDigitW, kDigitH, kGlass);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  DrawSegments(p, QRectF(3, 3, kDigitW - 6, kDigitH - 6), kDigitSegments[digit], kVfdLit, kVfdDim);
  return image;
}

void DrawMinus(QPainter& p, QRectF box, QColor colour) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  const double y = box.center().y();
  p.drawRoundedRect(QRectF(box.left() + 3, y - 3, box.width() - 6, 6), 2, 2);
}

QImage MinusImage() {
  QImage image = NewImage(kMinusW, kDigitH, kGlass);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  DrawMinus(p, QRectF(0, 0, kMinusW, kDigitH), kVfdLit);
  return image;
}

QImage SeparatorImage() {
  QImage image = NewImage(kSeparatorW, kDigitH, kGlass);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(kVfdLit);
  p.drawEllipse(QPointF(kSeparatorW / 2.0, kDigitH * 0.33), 3, 3);
  p.drawEllipse(QPointF(kSeparatorW / 2.0, kDigitH * 0.67), 3, 3);
  return image;
}

// Where the timecode display puts its glyphs: the row is centred in the background.
int TimecodeRowLeft() {
  const int row = kMinusW + 8 * kDigitW + 3 * kSeparatorW;
  return (kTimecode.width() - row) / 2;
}

QImage TimecodeBackground() {
  QImage image = NewImage(kTimecode.width(), kTimecode.height(), kGlass);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // The unlit minus sign shows through where the lit one is drawn for a negative time.
  DrawMinus(p, QRectF(TimecodeRowLeft(), (kTimecode.height() - kDigitH) / 2, kMinusW, kDigitH),
            kVfdDim);
  return image;
}

QImage LabelBackground() {
  QImage image = NewImage(kStatusLabel.width(), kStatusLabel.height(), kGlass);
  QPainter p(&image);
  p.setPen(QColor(20, 44, 38));
  p.drawLine(0, 0, image.width(), 0);
  return image;
}

QImage LampImage(QColor colour, bool lit) {
  QImage image = NewImage(kLampW, kLampH, QColor(16, 16, 18));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body(1, 1, kLampW - 2, kLampH - 2);
  if (lit) {
    QLinearGradient g(0, 0, 0, kLampH);
    g.setColorAt(0, colour.lighter(150));
    g.setColorAt(0.5, colour);
    g.setColorAt(1, colour.darker(115));
    p.setPen(QPen(colour.lighter(120), 1));
    p.setBrush(g);
  } else {
    QColor off = colour.darker(420);
    p.setPen(QPen(off.darker(130), 1));
    p.setBrush(off);
  }
  p.drawRoundedRect(body, 2, 2);
  p.setPen(QPen(QColor(255, 255, 255, lit ? 150 : 35), 1));
  p.drawLine(QPointF(3, 2.5), QPointF(kLampW - 4, 2.5));
  return image;
}

void DrawTransportSymbol(QPainter& p, Cap cap, QPointF c, QColor ink) {
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  auto triangle = [&](double x, double dir) {
    QPolygonF t;
    t << QPointF(x, c.y() - 7) << QPointF(x + dir * 11, c.y()) << QPointF(x, c.y() + 7);
    p.drawPolygon(t);
  };
  switch (cap) {
    case Cap::kRewind:
      triangle(c.x() + 1, -1);
      triangle(c.x() + 11, -1);
      break;
    case Cap::kPlay:
      triangle(c.x() - 4, 1);
      break;
    case Cap::kFastForward:
      triangle(c.x() - 11, 1);
      triangle(c.x() - 1, 1);
      break;
    case Cap::kStop:
      p.drawRect(QRectF(c.x() - 6, c.y() - 6, 12, 12));
      break;
    case Cap::kEject: {
      QPolygonF t;
      t << QPointF(c.x() - 9, c.y() + 1) << QPointF(c.x(), c.y() - 8)
        << QPointF(c.x() + 9, c.y() + 1);
      p.drawPolygon(t);
      p.drawRect(QRectF(c.x() - 9, c.y() + 4, 18, 3.5));
      break;
    }
    default:
      break;
  }
}

// One state of a key: state bit 0 lit, bit 1 held down.
QImage KeyImage(const Key& key, int state) {
  const bool lit = (state & 1) != 0;
  const bool down = (state & 2) != 0;
  const QSize size = key.rect.size();
  // The cap's surroundings are the chassis colour the key sits on.
  QImage image = NewImage(size.width(), size.height(), QColor(40, 42, 46));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const bool light_cap = key.cap != Cap::kPower && key.cap != Cap::kText;
  QColor top = light_cap ? QColor(226, 226, 218) : QColor(92, 96, 102);
  QColor bottom = light_cap ? QColor(168, 168, 160) : QColor(52, 55, 60);
  if (key.cap == Cap::kPower) {
    top = QColor(150, 48, 44);
    bottom = QColor(96, 26, 24);
  }
  // The well the key sits in.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(14, 14, 16));
  p.drawRoundedRect(QRectF(0, 0, size.width(), size.height()), 5, 5);
  const double shift = down ? 2 : 0;
  const QRectF cap(2, 1 + shift, size.width() - 4, size.height() - 5);
  if (!down) {
    p.setBrush(QColor(0, 0, 0, 150));
    p.drawRoundedRect(cap.translated(0, 2.5), 4, 4);
  }
  QLinearGradient g(cap.topLeft(), cap.bottomLeft());
  g.setColorAt(0, down ? top.darker(112) : top);
  g.setColorAt(1, down ? bottom.darker(112) : bottom);
  p.setPen(QPen(QColor(10, 10, 12), 1));
  p.setBrush(g);
  p.drawRoundedRect(cap, 4, 4);
  p.setPen(QPen(QColor(255, 255, 255, down ? 40 : 110), 1));
  p.drawLine(cap.topLeft() + QPointF(4, 1.5), cap.topRight() + QPointF(-4, 1.5));

  // The lamp in the cap's top edge.
  const QRectF led(cap.center().x() - 8, cap.top() + 4, 16, 4);
  QColor led_colour = lit ? key.lamp : key.lamp.darker(380);
  if (lit) {
    QColor halo = key.lamp;
    halo.setAlpha(90);
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawRoundedRect(led.adjusted(-2, -2, 2, 2), 3, 3);
  }
  p.setPen(QPen(led_colour.darker(160), 0.8));
  p.setBrush(led_colour);
  p.drawRoundedRect(led, 1.5, 1.5);

  const QPointF centre = cap.center() + QPointF(0, 4);
  if (light_cap) {
    DrawTransportSymbol(p, key.cap, centre, QColor(30, 30, 32));
  } else {
    p.setPen(key.cap == Cap::kPower ? QColor(250, 230, 226) : kLegend);
    p.setFont(LegendFont(key.cap == Cap::kPower ? 10 : 9));
    p.drawText(QRectF(cap.left(), centre.y() - 7, cap.width(), 14), Qt::AlignCenter, key.legend);
  }
  return image;
}

// ---- The background ------------------------------------------------------------------------

void DrawChassis(QPainter& p) {
  QLinearGradient body(0, 0, 0, kHeight);
  body.setColorAt(0, QColor(58, 61, 66));
  body.setColorAt(0.55, QColor(44, 46, 51));
  body.setColorAt(1, QColor(34, 36, 40));
  p.fillRect(0, 0, kWidth, kHeight, body);
  // Brushed metal: faint horizontal streaks, the same every time.
  std::mt19937 random(7);
  for (int y = 0; y < kHeight; ++y) {
    const int alpha = static_cast<int>(random() % 14);
    p.setPen(QColor(255, 255, 255, alpha));
    const int x = static_cast<int>(random() % 200);
    p.drawLine(x, y, x + 300 + static_cast<int>(random() % 400), y);
  }
  // Bevel: a light edge above, a dark one below.
  p.setPen(QColor(120, 124, 130));
  p.drawLine(0, 0, kWidth, 0);
  p.drawLine(0, 0, 0, kHeight);
  p.setPen(QColor(12, 12, 14));
  p.drawLine(0, kHeight - 1, kWidth, kHeight - 1);
  p.drawLine(kWidth - 1, 0, kWidth - 1, kHeight);
  // The groove between the upper and lower halves of the face.
  p.setPen(QColor(18, 18, 20));
  p.drawLine(10, 160, kWidth - 10, 160);
  p.setPen(QColor(82, 86, 92));
  p.drawLine(10, 161, kWidth - 10, 161);
  for (QPoint screw : {QPoint(10, 10), QPoint(kWidth - 11, 10), QPoint(10, kHeight - 11),
                       QPoint(kWidth - 11, kHeight - 11)}) {
    DrawScrew(p, screw);
  }
}

void DrawBrand(QPainter& p) {
  p.setPen(kLegend);
  p.setFont(LegendFont(13));
  p.drawText(QRect(26, 24, 160, 18), Qt::AlignLeft | Qt::AlignVCenter, "CALVERA");
  QFont model("DejaVu Sans");
  model.setPixelSize(40);
  model.setBold(true);
  model.setItalic(true);
  model.setLetterSpacing(QFont::AbsoluteSpacing, 2);
  p.setFont(model);
  p.setPen(QColor(240, 240, 236));
  p.drawText(QRect(22, 42, 170, 48), Qt::AlignLeft | Qt::AlignVCenter, "VXR");
  p.fillRect(QRect(26, 94, 150, 3), QColor(200, 40, 36));
  p.setPen(kLegendDim);
  p.setFont(LegendFont(9, false));
  p.drawText(QRect(26, 102, 170, 14), Qt::AlignLeft | Qt::AlignVCenter, "DIGITAL VIDEO DECK");
  p.drawText(QRect(26, 116, 170, 14), Qt::AlignLeft | Qt::AlignVCenter, "9-PIN REMOTE  RS-422");
}

void DrawDisplayWindow(QPainter& p) {
  DrawRecess(p, kDisplay, kGlass, 6);
  // A sheen along the glass's top edge, above the readouts, whose images are plain glass.
  const QRect sheen_strip(kDisplay.left(), kDisplay.top(), kDisplay.width(),
                          kTimecode.top() - kDisplay.top());
  QLinearGradient sheen(sheen_strip.topLeft(), sheen_strip.bottomLeft());
  sheen.setColorAt(0, QColor(255, 255, 255, 26));
  sheen.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(sheen);
  p.drawRoundedRect(sheen_strip, 6, 6);
  // Legends under the digit pairs, where the timecode display puts them.
  const int pair = 2 * kDigitW;
  int x = kTimecode.left() + TimecodeRowLeft() + kMinusW;
  p.setFont(LegendFont(8));
  p.setPen(QColor(70, 150, 128));
  for (const char* legend : {"HOURS", "MIN", "SEC", "FRAMES"}) {
    p.drawText(QRect(x, kTimecode.bottom() + 2, pair, 12), Qt::AlignCenter, legend);
    x += pair + kSeparatorW;
  }
  p.drawText(QRect(kDisplay.left() + 10, kDisplay.top() + 3, 40, 10), Qt::AlignLeft, "TCR");
}

void DrawLampPanel(QPainter& p) {
  p.setPen(kLegendDim);
  p.setFont(LegendFont(9));
  p.drawText(QRect(kLampPanel.left(), kLampPanel.top(), kLampPanel.width(), 14), Qt::AlignCenter,
             "TAPE  STATUS");
  p.setPen(QColor(86, 90, 96));
  p.drawLine(kLampPanel.left() + 8, kLampPanel.top() + 18, kLampPanel.right() - 8,
             kLampPanel.top() + 18);
  p.setFont(LegendFont(8));
  for (const Lamp& lamp : kLamps) {
    const QPoint at = LampPosition(lamp);
    // The lamp's bezel, then its legend below.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 10, 12));
    p.drawRoundedRect(QRect(at - QPoint(2, 2), QSize(kLampW + 4, kLampH + 4)), 3, 3);
    p.setPen(kLegend);
    p.drawText(QRect(at.x() + kLampW / 2 - 24, at.y() + kLampH + 4, 48, 12), Qt::AlignCenter,
               lamp.legend);
  }
  p.setPen(QColor(86, 90, 96));
  p.drawLine(kLampPanel.left() + 8, kLampPanel.bottom() - 4, kLampPanel.right() - 8,
             kLampPanel.bottom() - 4);
}

void DrawKeyLegends(QPainter& p) {
  p.setFont(LegendFont(9));
  for (const Key& key : kKeys) {
    // Each key sits in a recessed well.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 22));
    p.drawRoundedRect(key.rect.adjusted(-2, -2, 2, 2), 6, 6);
    if (key.cap == Cap::kPower || key.cap == Cap::kText) continue;
    p.setPen(kLegend);
    p.drawText(QRect(key.rect.left() - 10, key.rect.bottom() + 5, key.rect.width() + 20, 14),
               Qt::AlignCenter, key.legend);
  }
  p.setPen(kLegendDim);
  p.setFont(LegendFont(8));
  p.drawText(QRect(24, 166, 220, 12), Qt::AlignLeft, "SYSTEM");
  p.drawText(QRect(318, 166, 294, 12), Qt::AlignLeft, "TRANSPORT");
  p.drawText(QRect(716, 166, 66, 12), Qt::AlignLeft, "CASSETTE");
  // A frame that groups the transport keys.
  p.setPen(QPen(QColor(96, 100, 106), 1));
  p.drawLine(372, 171, 612, 171);
}

SkinImage ToSkinImage(const QImage& picture) {
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  SkinImage image;
  image.Allocate(rgb.width(), rgb.height());
  for (int y = 0; y < rgb.height(); ++y) {
    for (int x = 0; x < rgb.width(); ++x) {
      const QRgb c = rgb.pixel(x, y);
      std::uint8_t* p = image.PixelAt(x, y);
      p[0] = static_cast<std::uint8_t>(qBlue(c));
      p[1] = static_cast<std::uint8_t>(qGreen(c));
      p[2] = static_cast<std::uint8_t>(qRed(c));
    }
  }
  return image;
}

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

}  // namespace

QImage CSkinGenerator::Background() const {
  QImage image = NewImage(kWidth, kHeight, Qt::black);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  DrawChassis(p);
  DrawBrand(p);
  DrawDisplayWindow(p);
  DrawLampPanel(p);
  DrawKeyLegends(p);
  return image;
}

bool CSkinGenerator::WriteSkin(const std::string& directory, std::string* error) const {
  const QString folder = QString::fromStdString(directory) + "/" + kImageFolder;
  if (!QDir().mkpath(folder)) return Fail(error, "cannot create " + folder.toStdString());
  std::vector<std::string> records;
  auto save = [&](const std::string& name, const QImage& picture) {
    const std::string path = folder.toStdString() + "/" + name;
    if (!WriteBitmapFile(path, ToSkinImage(picture))) {
      Fail(error, "cannot write " + path);
      return false;
    }
    return true;
  };

  bool ok = save("background.bmp", Background());
  for (const Key& key : kKeys) {
    std::string record = "B" + std::to_string(key.index) + " " + std::to_string(key.rect.x()) +
                         " " + std::to_string(key.rect.y());
    for (int state = 0; state < 4 && ok; ++state) {
      const std::string name =
          "key" + std::to_string(key.index) + "_" + std::to_string(state) + ".bmp";
      ok = save(name, KeyImage(key, state));
      record += " " + name;
    }
    records.push_back(record);
  }
  for (const Lamp& lamp : kLamps) {
    const std::string off = "lamp" + std::to_string(lamp.index) + "_0.bmp";
    const std::string on = "lamp" + std::to_string(lamp.index) + "_1.bmp";
    ok = ok && save(off, LampImage(lamp.colour, false)) && save(on, LampImage(lamp.colour, true));
    const QPoint at = LampPosition(lamp);
    records.push_back("I" + std::to_string(lamp.index) + " " + std::to_string(at.x()) + " " +
                      std::to_string(at.y()) + " " + off + " " + on);
  }
  ok = ok && save("status.bmp", LabelBackground()) && save("tc_back.bmp", TimecodeBackground()) &&
       save("tc_minus.bmp", MinusImage()) && save("tc_colon.bmp", SeparatorImage());
  for (int d = 0; d <= 9 && ok; ++d) ok = save("tc_" + std::to_string(d) + ".bmp", DigitImage(d));
  if (!ok) return false;

  QFile file(QString::fromStdString(directory) + "/" + kSkinFileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    return Fail(error, "cannot write " + file.fileName().toStdString());
  }
  QTextStream out(&file);
  out << "# vxrdeck default skin: a broadcast VTR face. Made by skingen; regenerate, do not edit.\n"
      << "# Any line that is not a keyword or a record is a comment.\n"
      << "path " << kImageFolder << "\n"
      << "base background.bmp\n"
      << "# Keys: POWER, SETTINGS, REMOTE, REW, PLAY, F FWD, STOP, EJECT (command on release).\n";
  for (std::size_t i = 0; i < 8; ++i) out << QString::fromStdString(records[i]) << "\n";
  out << "# Lamps: shuttle, jog, servo, start of tape, end of tape, reverse, forward, still.\n";
  for (std::size_t i = 8; i < records.size(); ++i)
    out << QString::fromStdString(records[i]) << "\n";
  out << "# Status label (click to load a tape) and the timecode display.\n"
      << "L0 " << kStatusLabel.x() << " " << kStatusLabel.y()
      << " status.bmp 150 255 220 -13 0 \"DejaVu Sans Mono\"\n"
      << "T0 " << kTimecode.x() << " " << kTimecode.y()
      << " tc_back.bmp tc_0.bmp tc_minus.bmp tc_colon.bmp\n";
  out.flush();
  if (file.error() != QFileDevice::NoError) return Fail(error, "cannot write the skin file");
  return true;
}

QImage CSkinGenerator::Icon(int size) const {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 32.0;
  p.scale(s, s);
  // A deck front: dark body, a display strip with a green readout, a play key.
  QLinearGradient body(0, 0, 0, 32);
  body.setColorAt(0, QColor(78, 82, 88));
  body.setColorAt(1, QColor(36, 38, 42));
  p.setPen(QPen(QColor(12, 12, 14), 1));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(1, 4, 30, 24), 3, 3);
  p.setPen(Qt::NoPen);
  p.setBrush(kGlass);
  p.drawRect(QRectF(4, 8, 24, 8));
  p.setBrush(kVfdLit);
  for (int i = 0; i < 4; ++i) p.drawRect(QRectF(6 + i * 5.5, 10.5, 3.5, 3));
  p.setBrush(QColor(220, 220, 212));
  p.drawRoundedRect(QRectF(4, 19, 11, 6), 1, 1);
  p.drawRoundedRect(QRectF(17, 19, 11, 6), 1, 1);
  p.setBrush(QColor(40, 170, 60));
  QPolygonF play;
  play << QPointF(20.5, 20) << QPointF(25, 22) << QPointF(20.5, 24);
  p.drawPolygon(play);
  p.setBrush(kRed);
  p.drawEllipse(QPointF(9.5, 22), 1.6, 1.6);
  return image;
}

bool CSkinGenerator::WriteIcons(const std::string& directory, std::string* error) const {
  const QString folder = QString::fromStdString(directory);
  if (!QDir().mkpath(folder)) return Fail(error, "cannot create " + directory);
  for (int size : {32, 16}) {
    const QString path = folder + QString("/vxrdeck_%1.png").arg(size);
    if (!Icon(size).save(path, "PNG")) return Fail(error, "cannot write " + path.toStdString());
  }
  QFile qrc(folder + "/" + kIconResourceFile);
  if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    return Fail(error, "cannot write " + qrc.fileName().toStdString());
  }
  QTextStream out(&qrc);
  out << "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/icons\">\n"
      << "    <file>vxrdeck_32.png</file>\n    <file>vxrdeck_16.png</file>\n"
      << "  </qresource>\n</RCC>\n";
  out.flush();
  return qrc.error() == QFileDevice::NoError || Fail(error, "cannot write the resource list");
}

}  // namespace vxr
