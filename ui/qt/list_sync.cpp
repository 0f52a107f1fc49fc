#include "ui/qt/list_sync.h"

#include <QHash>
#include <QTreeWidget>

QString rowKey(const QTreeWidgetItem& item) {
    return item.data(0, kRowKeyRole).toString();
}

std::vector<QTreeWidgetItem*> syncRowsByKey(QTreeWidget& list, const std::vector<QString>& keys,
                                            const std::function<QTreeWidgetItem*()>& makeItem) {
    QHash<QString, int> wanted;
    for (int i = 0; i < static_cast<int>(keys.size()); ++i)
        wanted.insert(keys[static_cast<size_t>(i)], i);
    // Rows of devices no longer listed (and any row without a key) go first.
    for (int row = list.topLevelItemCount() - 1; row >= 0; --row) {
        const QString key = rowKey(*list.topLevelItem(row));
        if (key.isEmpty() || !wanted.contains(key))
            delete list.takeTopLevelItem(row);
    }
    QHash<QString, QTreeWidgetItem*> kept;
    for (int row = 0; row < list.topLevelItemCount(); ++row)
        kept.insert(rowKey(*list.topLevelItem(row)), list.topLevelItem(row));
    std::vector<QTreeWidgetItem*> items;
    items.reserve(keys.size());
    for (int position = 0; position < static_cast<int>(keys.size()); ++position) {
        const QString& key = keys[static_cast<size_t>(position)];
        QTreeWidgetItem* item = kept.value(key, nullptr);
        if (item == nullptr) {
            item = makeItem();
            item->setData(0, kRowKeyRole, key);
            list.insertTopLevelItem(position, item);
        } else if (list.indexOfTopLevelItem(item) != position) {
            // The order changed (a sort): the item itself moves.
            list.takeTopLevelItem(list.indexOfTopLevelItem(item));
            list.insertTopLevelItem(position, item);
        }
        items.push_back(item);
    }
    return items;
}
