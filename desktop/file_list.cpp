#include "file_list.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QListWidget>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>

namespace filelist {

namespace {

// Entries as wide as their thumbnail and a little more: a longer name is
// elided within its entry instead of being cut off by the list's edge.
class NarrowEntries : public QStyledItemDelegate {
public:
    explicit NarrowEntries(QListWidget* list) : QStyledItemDelegate(list), list_(list) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setWidth(std::min(size.width(), list_->iconSize().width() + 24));
        return size;
    }

private:
    QListWidget* list_;
};

} // namespace

QListWidgetItem* entry(const QIcon& icon, const QString& name, const QString& path) {
    auto* item = new QListWidgetItem(icon, name);
    item->setData(Qt::ToolTipRole, path); // the whole name, however the list elides it
    return item;
}

void showWholeNames(QListWidget* list) {
    // A long name loses its middle, never its end (the extension and the time).
    list->setTextElideMode(Qt::ElideMiddle);
    list->setWordWrap(false);
    list->setItemDelegate(new NarrowEntries(list));
}

void openCurrent(QListWidget* list) {
    const QListWidgetItem* item = list->currentItem();
    if (list->count() == 0 || !item) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(item->data(Qt::ToolTipRole).toString()));
}

bool deleteCurrent(QListWidget* list) {
    const int row = list->currentRow();
    if (list->count() == 0 || row < 0) return true;
    const QString path = list->item(row)->data(Qt::ToolTipRole).toString();
    if (QFileInfo(path).isFile()) {
        // Into the desktop's trash, from where the user can take it back. Qt
        // makes the trash only inside an existing data folder.
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
        if (!QFile::moveToTrash(path)) return false; // the file and its entry stay
    }
    delete list->takeItem(row);
    return true;
}

} // namespace filelist
