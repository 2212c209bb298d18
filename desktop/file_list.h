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
// Moves the current entry's file to the trash and takes the entry out of the
// list; false, with both left as they were, when the file cannot go there.
bool deleteCurrent(QListWidget* list);
// Names elided in the middle, so that their ends stay readable.
void showWholeNames(QListWidget* list);

} // namespace filelist
