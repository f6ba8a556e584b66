#include "app/http_get.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace vidmill {

HttpReply httpGet(const QString& url, std::size_t capacity, int timeoutMs) {
    HttpReply result;
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Vidmill"));
    request.setTransferTimeout(timeoutMs);
    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    reply->setReadBufferSize(static_cast<qint64>(capacity));

    QEventLoop loop;
    bool full = false;
    bool timedOut = false;
    const auto take = [&] {
        const qint64 room = static_cast<qint64>(capacity - result.body.size());
        if (room > 0) {
            result.body += reply->read(room).toStdString();
        }
        if (result.body.size() >= capacity && !full) {
            // A full buffer ends the read: what came is what counts.
            full = true;
            loop.quit();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The transfer time-out only counts silence; this bounds the whole of it.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    deadline.start(timeoutMs);
    if (!reply->isFinished()) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    deadline.stop();
    QObject::disconnect(reply.get(), nullptr, &loop, nullptr);
    if (!full && !timedOut) {
        take();
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A status that cannot be read counts as a client error.
    const int code = status.isValid() ? status.toInt() : 400;
    const bool readToEnd = reply->isFinished() && reply->error() == QNetworkReply::NoError;
    result.ok = !timedOut && code / 100 == 2 && (full || readToEnd);
    if (!reply->isFinished()) {
        reply->abort();
    }
    if (!result.ok) {
        result.body.clear();
    }
    return result;
}

}  // namespace vidmill
