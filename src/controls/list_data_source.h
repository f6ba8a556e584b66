#pragma once

#include <QString>

namespace vidmill {

// What the list asks its owner for each visible cell, on the GUI thread while painting. Must be
// fast: it runs once per visible cell and role on every repaint.
class ListDataSource {
  public:
    virtual ~ListDataSource() = default;
    // Text of a cell (`column` 0-based).
    virtual QString cellText(int row, int column) = 0;
    // Image index of column 0 into the list's images, -1 for none.
    virtual int cellImage(int row) = 0;
    // Tooltip of a cell, empty for none.
    virtual QString cellToolTip(int row, int column) = 0;
};

}  // namespace vidmill
