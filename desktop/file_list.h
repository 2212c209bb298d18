// What the main window's file list and the PDF dialog's page list share:
// entries that keep their file's full path in the tool-tip role.
#pragma once

#include <QString>

class QIcon;
class QListWidget;
class QListWidgetItem;

namespace filelist {

// An entry with its thumbnail, its name, and path in the tool-tip role.
QListWidgetItem* entry(const QIcon& icon, const QString& name, const QString& path);
// Hands the current entry's file to the desktop's default application.
void openCurrent(QListWidget* list);
// Takes the current entry out of the list and deletes its file.
void deleteCurrent(QListWidget* list);

} // namespace filelist
