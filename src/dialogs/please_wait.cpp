#include "dialogs/please_wait.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <memory>

namespace vidmill {

namespace {

QPointer<PleaseWaitWindow>& current() {
    static QPointer<PleaseWaitWindow> instance;
    return instance;
}

}  // namespace

PleaseWaitWindow::PleaseWaitWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("PleaseWaitWindow");
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

void PleaseWaitWindow::setText(const QString& text) {
    lbText_->setText(text);
}

QString PleaseWaitWindow::text() const {
    return lbText_->text();
}

void PleaseWaitWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void showPleaseWait(const QString& caption, const QString& text, QWidget* over) {
    // A second notice would leave the first on top of everything for good.
    closePleaseWait();
    auto* window = new PleaseWaitWindow(over);
    current() = window;
    window->setWindowTitle(caption);
    if (over != nullptr) {
        window->move(over->frameGeometry().center() - window->rect().center());
    }
    window->show();
    setPleaseWaitText(text);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void setPleaseWaitText(const QString& text) {
    if (current()) {
        current()->setText(text);
    }
}

void closePleaseWait() {
    // Destroyed at once, not later: the caller goes on with blocking work.
    const std::unique_ptr<PleaseWaitWindow> window(current().data());
    current().clear();
}

PleaseWaitWindow* currentPleaseWait() {
    return current().data();
}

}  // namespace vidmill
