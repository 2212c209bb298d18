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

// Writes the pages of the open book in spread (a picture) as out, later:
// out.pdf one PDF of both pages (with its text layer when asked), out.jpg and
// the other pictures out-001.jpg and out-002.jpg (a .gif name holds a JPEG,
// as the program's photographs do). The spread is removed either way; done
// gets the files written, none when no book was found.
void makeBookPagesLater(QObject* receiver, QThreadPool& pool, const QString& spread, const QString& out, bool textLayer,
                        std::function<void(const QStringList& written)> done);

// Writes pdf from the pictures with their text, later.
void makeSearchablePdfLater(QObject* receiver, QThreadPool& pool, const QStringList& pictures, const QString& pdf,
                            std::function<void(bool written)> done);
