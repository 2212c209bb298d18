#include "background_job.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include "velcap/camera.h"

void runLater(QObject* receiver, QThreadPool& pool, std::function<bool()> work, std::function<void(bool)> done) {
    auto* watcher = new QFutureWatcher<bool>(receiver); // goes with the receiver, its signal with it
    QObject::connect(watcher, &QFutureWatcher<bool>::finished, receiver, [watcher, done = std::move(done)] {
        done(watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(&pool, std::move(work)));
}

void makeSearchablePdfLater(QObject* receiver, QThreadPool& pool, const QStringList& pictures, const QString& pdf,
                            std::function<void(bool written)> done) {
    std::vector<std::string> names;
    for (const QString& picture : pictures) names.push_back(picture.toStdString());
    const std::string path = pdf.toStdString();
    runLater(
        receiver, pool,
        [names, path] { return velcap::makeSearchablePdf(names, path, kOcrLanguages) == velcap::Status::Ok; },
        std::move(done));
}
