#pragma once
// The cells a change of the grid's model announces, as (first row, first
// column, last row, last column) per notification.
#include <QAbstractItemModel>
#include <QSignalSpy>
#include <array>
#include <functional>
#include <vector>

namespace pelk::test {

using Cells = std::vector<std::array<int, 4>>;

inline Cells Announced(QAbstractItemModel& model, const std::function<void()>& change) {
    QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);
    change();
    Cells out;
    for (const auto& args : spy) {
        const auto a = args[0].value<QModelIndex>(), b = args[1].value<QModelIndex>();
        out.push_back({a.row(), a.column(), b.row(), b.column()});
    }
    return out;
}

}  // namespace pelk::test
