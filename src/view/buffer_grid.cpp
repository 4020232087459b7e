#include "view/buffer_grid.h"

#include <QHeaderView>
#include <QScrollBar>

namespace pelk {

BufferGrid::BufferGrid(const MemoryImage& image, QWidget* parent)
    : QTableView(parent), GridModel(image, this), Corner(new QLabel(QStringLiteral("Adress"), this)) {
    setModel(&GridModel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setShowGrid(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setToolTip(QStringLiteral("text"));

    QPalette pal = palette();
    pal.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xE1));  // tooltip yellow
    setPalette(pal);

    auto* rows = verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(16);
    rows->setMinimumSectionSize(8);
    rows->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    rows->setHighlightSections(false);
    rows->setSectionsClickable(false);
    auto* cols = horizontalHeader();
    cols->setSectionResizeMode(QHeaderView::Fixed);
    cols->setMinimumSectionSize(1);
    cols->setHighlightSections(false);
    cols->setSectionsClickable(false);
    cols->setFixedHeight(18);

    Corner->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Corner->setAutoFillBackground(true);
    Corner->setIndent(2);
    SetColumnWidths(50, 16, 149);
}

QString BufferGrid::CellText(int k, int r) const {
    if (r == 0 && k == 0) return Corner->text();
    if (r == 0) return GridModel.headerData(k - 1, Qt::Horizontal).toString();
    if (k == 0) return GridModel.headerData(r - 1, Qt::Vertical).toString();
    return GridModel.data(GridModel.index(r - 1, k - 1)).toString();
}

int BufferGrid::SelectedColumn() const {
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.column() + 1 : 1;
}

int BufferGrid::SelectedRow() const {
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.row() + 1 : 1;
}

void BufferGrid::SelectCell(int k, int r) {
    setCurrentIndex(GridModel.index(r - 1, k - 1));
}

void BufferGrid::SetTopRow(int r) {
    const int row = std::clamp(r - 1, 0, std::max(0, GridModel.rowCount() - 1));
    updateGeometries();  // the scroll range must know the current row count
    verticalScrollBar()->setValue(row);  // one scroll step per row
}

int BufferGrid::TopRow() const { return verticalScrollBar()->value() + 1; }

void BufferGrid::SetColumnWidths(int addressWidth, int byteWidth, int charWidth) {
    verticalHeader()->setFixedWidth(std::max(0, addressWidth));
    for (int c = 0; c < BufferGridModel::BytesPerRow; ++c) setColumnWidth(c, std::max(1, byteWidth));
    setColumnWidth(BufferGridModel::CharColumn, std::max(1, charWidth));
    PlaceCornerLabel();
}

void BufferGrid::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    PlaceCornerLabel();
}

void BufferGrid::PlaceCornerLabel() {
    const int f = frameWidth();
    Corner->setGeometry(f, f, verticalHeader()->width(), horizontalHeader()->height());
    Corner->raise();
}

}  // namespace pelk
