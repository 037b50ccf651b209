#include "app/Icons.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRegion>

namespace viewer {

namespace {

struct KindPicture {
  char letter;
  QRgb color;
};

constexpr KindPicture kPictures[kKindIconCount] = {
    {'X', 0xFF0000}, {'R', 0xFF6D24}, {'E', 0xFFFF00},
    {'T', 0x00FF00}, {'A', 0x00FFFF}, {'V', 0xC248FF},
};

// Radius 7 around the picture's centre leaves exactly 100 of the 256 pixels
// outside the disc, which is what a one-bit mask of the pictures covers.
constexpr double kDiscRadius = 7.0;

}  // namespace

bool IsOnDisc(int x, int y) {
  const double dx = x + 0.5 - kIconSize / 2.0;
  const double dy = y + 0.5 - kIconSize / 2.0;
  return dx * dx + dy * dy <= kDiscRadius * kDiscRadius;
}

QColor KindIconColor(int index) {
  if (index < 0 || index >= kKindIconCount) return QColor();
  return QColor::fromRgb(kPictures[index].color);
}

QPixmap MakeKindIcon(int index, IconBackground background) {
  if (index < 0 || index >= kKindIconCount) return QPixmap();
  const QRgb outside = background == IconBackground::White ? qRgba(255, 255, 255, 255) : qRgba(0, 0, 0, 0);
  const QRgb disc = 0xFF000000u | kPictures[index].color;

  // The disc is set pixel by pixel: an antialiased edge would blend into the
  // transparent outside, which a one-bit mask cannot express.
  QImage image(kIconSize, kIconSize, QImage::Format_ARGB32);
  for (int y = 0; y < kIconSize; ++y)
    for (int x = 0; x < kIconSize; ++x) image.setPixel(x, y, IsOnDisc(x, y) ? disc : outside);

  {
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setStyleHint(QFont::Serif, QFont::PreferMatch);
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::black);
    // Keep the letter off the outside pixels so the mask stays exact.
    QRegion onDisc;
    for (int y = 0; y < kIconSize; ++y)
      for (int x = 0; x < kIconSize; ++x)
        if (IsOnDisc(x, y)) onDisc += QRect(x, y, 1, 1);
    painter.setClipRegion(onDisc);
    painter.drawText(QRect(0, 0, kIconSize, kIconSize), Qt::AlignCenter, QString(QChar(kPictures[index].letter)));
  }
  return QPixmap::fromImage(image);
}

int TImageList::Add(const QPixmap& image) {
  images_.append(image);
  return static_cast<int>(images_.size()) - 1;
}

QPixmap TImageList::Get(int index) const {
  if (index < 0 || index >= Count()) return QPixmap();
  return images_[index];
}

void FillKindImages(TImageList& list) {
  for (int i = 0; i < kKindIconCount; ++i) list.Add(MakeKindIcon(i, IconBackground::White));
}

}  // namespace viewer
