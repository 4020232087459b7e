#pragma once
// The memory image as a table for the grid: one row of 16 bytes per 16
// addresses of the selected device, a 17th column with the row's characters.
// Cell texts are produced on demand from ImageBuffer; nothing is stored.
// The grid's heading row and address column are the view's headers.
#include <QAbstractTableModel>
#include <QString>
#include <array>

#include "image/memory_image.h"

namespace pelk {

class BufferGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int BytesPerRow = 16;
    static constexpr int CharColumn = BytesPerRow;  // model column of the characters

    explicit BufferGridModel(const MemoryImage& image, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The device changed: the row count follows LastAddress.
    void rebuildForDevice();
    // Every byte may have changed: one notification for the whole table.
    void refreshAll();
    // Bytes first..last (inclusive) changed: only their cells and their
    // rows' character cells are announced.
    void bytesChanged(uint32_t first, uint32_t last);

    // Texts as the grid shows them.
    static QString rowLabel(uint32_t address);     // " %05lX"
    static QString byteText(uint8_t value);        // "%02X"
    QString rowCharacters(int row) const;          // 16 characters, 0x00 as "."

private:
    const MemoryImage& image;
    int rows;
};

}  // namespace pelk
