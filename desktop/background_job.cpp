#include "background_job.h"

#include <cstdio>
#include <memory>

#include <QFile>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include "velcap/camera.h"
#include "velcap/documents.h"

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

void makeBookPagesLater(QObject* receiver, QThreadPool& pool, const QString& spread, const QString& out, bool textLayer,
                        std::function<void(const QStringList& written)> done) {
    const bool gif = out.endsWith(".gif");
    const std::string picture = spread.toStdString();
    const std::string path = gif ? out.left(out.size() - 4).toStdString() + ".jpg" : out.toStdString();
    auto written = std::make_shared<QStringList>();
    runLater(
        receiver, pool,
        [picture, path, gif, textLayer, written] {
            std::vector<std::string> pages;
            const bool ok =
                velcap::writeBookPages({picture}, path, velcap::BookOptions{}, &pages,
                                       textLayer && path.size() > 4 && path.substr(path.size() - 4) == ".pdf"
                                           ? kOcrLanguages
                                           : "") == velcap::Status::Ok;
            QFile::remove(QString::fromStdString(picture)); // the photograph of the spread is gone either way
            for (const std::string& page : pages) {
                QString name = QString::fromStdString(page);
                if (gif) {
                    const QString named = name.left(name.size() - 4) + ".gif";
                    if (std::rename(page.c_str(), named.toStdString().c_str()) == 0) name = named;
                }
                *written << name;
            }
            return ok;
        },
        [written, done = std::move(done)](bool) { done(*written); });
}
