#pragma once

// The message that says why a file cannot be played.

#include <QMessageBox>
#include <QString>

#include <memory>

namespace vidmill::player {

// "Cannot play NAME: REASON", shown as plain text: a file named "<b>x</b>"
// must read as just that, not as bold markup.
std::unique_ptr<QMessageBox> makeFailureBox(const QString& displayPath, const QString& reason);

}  // namespace vidmill::player
