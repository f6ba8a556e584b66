#include "player/failure_box.h"

namespace vidmill::player {

std::unique_ptr<QMessageBox> makeFailureBox(const QString& displayPath, const QString& reason) {
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::Critical, QStringLiteral("Vidmill"),
        QStringLiteral("Cannot play %1: %2").arg(displayPath, reason), QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    return box;
}

}  // namespace vidmill::player
