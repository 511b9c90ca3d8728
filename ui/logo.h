// The kestrel logo and icon: a simple vector bird on the blue theme's disc,
// drawn with QPainter at any size (resources/ keeps the 512 x 512 rendering).
#pragma once

#include <QImage>

namespace ui {

QImage kestrelLogo(int size);

} // namespace ui
