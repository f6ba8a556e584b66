#include "dialogs/please_wait.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <memory>

namespace vidmill {

namespace {

QPointer<TFPleaseWait>& current() {
    static QPointer<TFPleaseWait> instance;
    return instance;
}

}  // namespace

TFPleaseWait::TFPleaseWait(QWidget* parent) : QDialog(parent) {
    setObjectName("TFPleaseWait");
    setWindowTitle("Please Wait");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowStaysOnTopHint);
    setFixedSize(316, 70);
    lbText_ = new QLabel(this);
    lbText_->setObjectName("LBText");
    lbText_->setGeometry(16, 16, 316 - 32, 70 - 32);
    lbText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbText_->setWordWrap(true);
}

void TFPleaseWait::setText(const QString& text) {
    lbText_->setText(text);
}

QString TFPleaseWait::text() const {
    return lbText_->text();
}

void TFPleaseWait::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void ShowPleaseWait(const QString& caption, const QString& text, QWidget* over) {
    // A second notice would leave the first on top of everything for good.
    ClosePleaseWait();
    auto* window = new TFPleaseWait(over);
    current() = window;
    window->setWindowTitle(caption);
    if (over != nullptr) {
        window->move(over->frameGeometry().center() - window->rect().center());
    }
    window->show();
    SetPleaseWaitText(text);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void SetPleaseWaitText(const QString& text) {
    if (current()) {
        current()->setText(text);
    }
}

void ClosePleaseWait() {
    // Destroyed at once, not later: the caller goes on with blocking work.
    const std::unique_ptr<TFPleaseWait> window(current().data());
    current().clear();
}

TFPleaseWait* currentPleaseWait() {
    return current().data();
}

}  // namespace vidmill
