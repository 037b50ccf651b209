// The six kind pictures of the viewer: file, root, element, text, attribute
// and attribute value, in image-list order.
#pragma once

#include <QList>
#include <QPixmap>

class QColor;

namespace viewer {

inline constexpr int kIconSize = 16;
inline constexpr int kKindIconCount = 6;

// Background outside the disc.
enum class IconBackground { Transparent, White };

// Picture index (0..5): a filled disc of the kind's colour with its black
// serif capital letter. An index outside 0..5 gives a null pixmap.
QPixmap MakeKindIcon(int index, IconBackground background);
// Disc colour of picture index, or an invalid colour outside 0..5.
QColor KindIconColor(int index);
// Whether pixel (x, y) of a 16 x 16 picture lies on the disc.
bool IsOnDisc(int x, int y);

// A fixed-size list of same-sized pictures shown by the tree's items.
class TImageList {
 public:
  TImageList(int width, int height) : width_(width), height_(height) {}
  int Width() const { return width_; }
  int Height() const { return height_; }
  int Count() const { return static_cast<int>(images_.size()); }
  // Returns the new index.
  int Add(const QPixmap& image);
  // Null pixmap outside 0..Count()-1.
  QPixmap Get(int index) const;

 private:
  int width_;
  int height_;
  QList<QPixmap> images_;
};

// The image list of the main window: the six pictures on white.
void FillKindImages(TImageList& list);

}  // namespace viewer
