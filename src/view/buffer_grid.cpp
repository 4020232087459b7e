#include "view/buffer_grid.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QScrollBar>

namespace pelk {

namespace {
// The text a cell draws: one visible character for every byte, on one line.
// Control characters would end the line, vanish or take no room, and text
// layout leaves the soft hyphen out; so a control character is drawn as a
// small box, in the way the grid's Windows font showed them, and the soft
// hyphen as a hyphen.
QString DrawnText(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control) c = QChar(u'\u25A1');
        else if (c == QChar(u'\u00AD')) c = QChar(u'-');
    }
    return text;
}

// Draws a cell's text over the whole cell, without the style's text margins:
// the byte columns are as narrow as two digits (16 px in a 501 px window).
class TightCellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        // The characters from the model's own text: the style option's has
        // its line feeds already turned into line separators.
        const QString text = index.column() == BufferGridModel::CharColumn
                                  ? DrawnText(index.data(Qt::DisplayRole).toString())
                                  : opt.text;
        opt.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(QPalette::Normal, (opt.state & QStyle::State_Selected)
                                                                ? QPalette::HighlightedText
                                                                : QPalette::Text));
        painter->drawText(opt.rect.adjusted(1, 0, -1, 0), int(opt.displayAlignment) | Qt::TextSingleLine, text);
        painter->restore();
    }
};
}  // namespace

BufferGrid::BufferGrid(const MemoryImage& image, QWidget* parent)
    : QTableView(parent), cells(image, this), corner(new QLabel(QStringLiteral("Adress"), this)) {
    setModel(&cells);
    setItemDelegate(new TightCellDelegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setShowGrid(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setToolTip(QStringLiteral("text"));
    setTabKeyNavigation(false);  // Tab leaves the grid; the arrow keys move in it

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
    cols->setStyleSheet(QStringLiteral("QHeaderView::section { padding: 0px; }"));
    cols->setDefaultAlignment(Qt::AlignCenter);

    corner->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    corner->setAutoFillBackground(true);
    corner->setIndent(2);
    setColumnWidths(50, 16, 149);
}

QString BufferGrid::cellText(int k, int r) const {
    if (r == 0 && k == 0) return corner->text();
    if (r == 0) return cells.headerData(k - 1, Qt::Horizontal).toString();
    if (k == 0) return cells.headerData(r - 1, Qt::Vertical).toString();
    return cells.data(cells.index(r - 1, k - 1)).toString();
}

int BufferGrid::selectedColumn() const {
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.column() + 1 : 1;
}

int BufferGrid::selectedRow() const {
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.row() + 1 : 1;
}

void BufferGrid::selectCell(int k, int r) {
    setCurrentIndex(cells.index(r - 1, k - 1));
}

void BufferGrid::setTopRow(int r) {
    const int row = std::clamp(r - 1, 0, std::max(0, cells.rowCount() - 1));
    updateGeometries();  // the scroll range must know the current row count
    verticalScrollBar()->setValue(row);  // one scroll step per row
}

int BufferGrid::topRow() const { return verticalScrollBar()->value() + 1; }

void BufferGrid::setColumnWidths(int addressWidth, int byteWidth, int charWidth) {
    verticalHeader()->setFixedWidth(std::max(0, addressWidth));
    for (int c = 0; c < BufferGridModel::BytesPerRow; ++c) setColumnWidth(c, std::max(1, byteWidth));
    setColumnWidth(BufferGridModel::CharColumn, std::max(1, charWidth));
    placeCornerLabel();
}

int BufferGrid::byteColumnMinWidth() const {
    // The delegate leaves one pixel each side, and the grid line takes one.
    int widest = 0;
    for (const char c : QStringLiteral("0123456789ABCDEF").toLatin1())
        widest = std::max(widest, fontMetrics().horizontalAdvance(QString(2, QChar::fromLatin1(c))));
    return widest + 3;
}

int BufferGrid::charColumnMinWidth() const {
    // Room for 16 wide letters: a row of bytes can be any 16 characters.
    return fontMetrics().horizontalAdvance(QString(16, QChar(u'M'))) + 3;
}

void BufferGrid::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    placeCornerLabel();
}

void BufferGrid::placeCornerLabel() {
    const int f = frameWidth();
    corner->setGeometry(f, f, verticalHeader()->width(), horizontalHeader()->height());
    corner->raise();
}

}  // namespace pelk
