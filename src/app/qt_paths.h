#pragma once

// Paths are bytes: file names cross between Qt's strings and the engine's
// byte strings only through these, so that names that are not valid UTF-8
// survive the trip.

#include <QFile>
#include <QString>
#include <string>

namespace vidmill {

inline QString fromPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

inline std::string toPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace vidmill
