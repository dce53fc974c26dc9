// The program's pictures, drawn at run time: the seven 16x16 icons (0
// configuration, 1 driver, 2 DMG extraction, 3 help, 4 About, 5 disk,
// 6 partition), the 72x72 About emblem and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace fk::gui {

inline constexpr int kIconCount = 7;

const QPixmap& IconPixmap(int number);  // null pixmap for an unknown number
QIcon Icon(int number);
QPixmap Emblem();       // 72 x 72
QIcon ApplicationIcon();

}  // namespace fk::gui
