#include "view/buffer_grid_model.h"

#include "image/cp1250.h"

namespace pelk {

namespace {
const std::array<QString, 256>& HexTexts() {
    static const std::array<QString, 256> texts = [] {
        std::array<QString, 256> t;
        for (int i = 0; i < 256; ++i) t[i] = QString::asprintf("%02X", i);
        return t;
    }();
    return texts;
}
}  // namespace

BufferGridModel::BufferGridModel(const MemoryImage& image, QObject* parent)
    : QAbstractTableModel(parent), image(image), rows(int(image.DeviceSize() / BytesPerRow)) {}

int BufferGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows; }

int BufferGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : BytesPerRow + 1; }

QString BufferGridModel::rowLabel(uint32_t address) {
    return QString::asprintf(" %05lX", static_cast<unsigned long>(address));
}

QString BufferGridModel::byteText(uint8_t value) { return HexTexts()[value]; }

QString BufferGridModel::rowCharacters(int row) const {
    QString s(BytesPerRow, QChar(u'.'));
    const uint8_t* bytes = image.ImageBuffer.data() + size_t(row) * BytesPerRow;
    for (int k = 0; k < BytesPerRow; ++k)
        if (bytes[k] != 0) s[k] = QChar(Cp1250ToUnicode(bytes[k]));
    return s;
}

QVariant BufferGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows) return {};
    if (role == Qt::DisplayRole) {
        if (index.column() == CharColumn) return rowCharacters(index.row());
        return byteText(image.ImageBuffer[size_t(index.row()) * BytesPerRow + index.column()]);
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(index.column() == CharColumn ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::AlignCenter);
    return {};
}

QVariant BufferGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal) {
        if (section == CharColumn) return QStringLiteral("ASCII");
        if (section >= 0 && section < BytesPerRow) return byteText(uint8_t(section));
        return {};
    }
    if (section < 0 || section >= rows) return {};
    return rowLabel(uint32_t(section) * BytesPerRow);
}

Qt::ItemFlags BufferGridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // never edited in place
}

void BufferGridModel::rebuildForDevice() {
    beginResetModel();
    rows = int(image.DeviceSize() / BytesPerRow);
    endResetModel();
}

void BufferGridModel::refreshAll() {
    if (rows == 0) return;
    emit dataChanged(index(0, 0), index(rows - 1, CharColumn), {Qt::DisplayRole});
}

void BufferGridModel::bytesChanged(uint32_t first, uint32_t last) {
    if (first > last || first >= uint32_t(rows) * BytesPerRow) return;
    last = std::min<uint32_t>(last, uint32_t(rows) * BytesPerRow - 1);
    const int r0 = int(first / BytesPerRow), c0 = int(first % BytesPerRow);
    const int r1 = int(last / BytesPerRow), c1 = int(last % BytesPerRow);
    const QList<int> roles{Qt::DisplayRole};
    if (r0 == r1) {
        emit dataChanged(index(r0, c0), index(r0, c1), roles);
        emit dataChanged(index(r0, CharColumn), index(r0, CharColumn), roles);
        return;
    }
    // First row from its first touched byte, whole rows in between, last
    // row up to its last touched byte; each row's characters follow.
    emit dataChanged(index(r0, c0), index(r0, CharColumn), roles);
    if (r1 - r0 > 1) emit dataChanged(index(r0 + 1, 0), index(r1 - 1, CharColumn), roles);
    emit dataChanged(index(r1, 0), index(r1, c1), roles);
    emit dataChanged(index(r1, CharColumn), index(r1, CharColumn), roles);
}

}  // namespace pelk
