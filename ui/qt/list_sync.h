#pragma once
// Brings a QTreeWidget's top-level rows up to date with a list of row keys (a
// device's MAC), keeping every row's item for as long as its device is listed.
// A row that stays keeps its QTreeWidgetItem, and with it its selection, its
// check box state as the view holds it and the object a screen reader is
// reading; only rows of devices that left are removed and only new devices get
// new items. Texts are then written into the kept items, where Qt reports only
// the cells that changed.
#include <QString>
#include <functional>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

// The item role that holds a row's key.
constexpr int kRowKeyRole = Qt::UserRole + 1;
// The item role in which a page notes which picture a row's icon shows.
constexpr int kRowIconRole = Qt::UserRole + 2;

// Makes the list's rows, in order, the items keyed `keys` (no key twice):
// items of keys no longer listed are deleted, items of new keys come from
// `makeItem`, kept items move only when the order changed. Returns the items
// in the order of `keys`.
std::vector<QTreeWidgetItem*> syncRowsByKey(QTreeWidget& list, const std::vector<QString>& keys,
                                            const std::function<QTreeWidgetItem*()>& makeItem);

// The key of a row's item ("" for an item without one).
QString rowKey(const QTreeWidgetItem& item);
