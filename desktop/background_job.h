// Work off the GUI thread: reading a page's text or finding a card takes
// about a second, and the window must go on answering meanwhile.
#pragma once

#include <functional>

#include <QObject>
#include <QStringList>
#include <QThreadPool>

// The languages of the "文字识别" check box's text layer.
constexpr const char* kOcrLanguages = "chi_sim+eng";

// Runs work in pool's thread, then calls done(its answer) on receiver's
// thread, unless receiver is gone by then. The owner of pool waits for it
// (QThreadPool::waitForDone) before it goes.
void runLater(QObject* receiver, QThreadPool& pool, std::function<bool()> work, std::function<void(bool)> done);

// Writes pdf from the pictures with their text, later.
void makeSearchablePdfLater(QObject* receiver, QThreadPool& pool, const QStringList& pictures, const QString& pdf,
                            std::function<void(bool written)> done);
