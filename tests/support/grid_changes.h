#pragma once
// The cells a change of the grid's model announces, as (first row, first
// column, last row, last column) per notification.
#include <QAbstractItemModel>
#include <array>
#include <functional>
#include <vector>

namespace pelk::test {

using Cells = std::vector<std::array<int, 4>>;

inline Cells Announced(QAbstractItemModel& model, const std::function<void()>& change) {
    Cells out;
    const auto c = QObject::connect(&model, &QAbstractItemModel::dataChanged,
                                    [&out](const QModelIndex& a, const QModelIndex& b) {
                                        out.push_back({a.row(), a.column(), b.row(), b.column()});
                                    });
    change();
    QObject::disconnect(c);
    return out;
}

}  // namespace pelk::test
