#include "file_list.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QListWidget>
#include <QUrl>

namespace filelist {

QListWidgetItem* entry(const QIcon& icon, const QString& name, const QString& path) {
    auto* item = new QListWidgetItem(icon, name);
    item->setData(Qt::ToolTipRole, path);
    return item;
}

void openCurrent(QListWidget* list) {
    const QListWidgetItem* item = list->currentItem();
    if (list->count() == 0 || !item) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(item->data(Qt::ToolTipRole).toString()));
}

void deleteCurrent(QListWidget* list) {
    const int row = list->currentRow();
    if (list->count() == 0 || row < 0) return;
    QListWidgetItem* item = list->takeItem(row);
    const QString path = item->data(Qt::ToolTipRole).toString();
    delete item;
    if (QFileInfo(path).isFile()) QFile::remove(path);
}

} // namespace filelist
