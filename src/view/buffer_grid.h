#pragma once
// The grid `Tablica`: a hexadecimal dump of the memory image. Grid row 0 is
// the heading row and grid column 0 the address column (the view's fixed
// headers); data row r (1-based) shows addresses (r-1)*16 .. (r-1)*16+15 in
// columns 1..16 and their characters in column 17.
#include <QLabel>
#include <QTableView>

#include "view/buffer_grid_model.h"

namespace pelk {

class BufferGrid : public QTableView {
    Q_OBJECT
public:
    static constexpr int CharGridColumn = 17;

    BufferGrid(const MemoryImage& image, QWidget* parent = nullptr);

    BufferGridModel& gridModel() { return cells; }

    // Row count including the heading row, as the grid counts rows.
    int rowCountWithHeading() const { return cells.rowCount() + 1; }
    // Text of grid cell (column k, row r), headers included.
    QString cellText(int k, int r) const;

    // Selected cell in grid coordinates (column, row); (1, 1) when none.
    int selectedColumn() const;
    int selectedRow() const;
    void selectCell(int k, int r);

    // Scrolls so that grid row r (1 = first data row) is the top visible row.
    void setTopRow(int r);
    int topRow() const;

    // Column widths: the address column, the 16 byte columns, the characters.
    void setColumnWidths(int addressWidth, int byteWidth, int charWidth);
    // The narrowest byte column that shows any two digits whole, and the
    // narrowest character column that shows 16 characters whole, in the
    // grid's font.
    int byteColumnMinWidth() const;
    int charColumnMinWidth() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeCornerLabel();

    BufferGridModel cells;
    QLabel* corner;
};

}  // namespace pelk
