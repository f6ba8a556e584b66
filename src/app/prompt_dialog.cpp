#include "app/prompt_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vidmill {

PromptDialog::PromptDialog(const QString& caption, const QString& prompt, const QString& value,
                           QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    lbPrompt_ = new QLabel(prompt, this);
    lbPrompt_->setObjectName("LBPrompt");
    lbPrompt_->setFixedWidth(349);
    lbPrompt_->setWordWrap(true);
    textEdit_ = new QLineEdit(value, this);
    textEdit_->setObjectName("EdString");
    textEdit_->selectAll();
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton("O&K", QDialogButtonBox::AcceptRole);
    ok->setObjectName("BOk");
    ok->setDefault(true);
    buttons->addButton("&Cancel", QDialogButtonBox::RejectRole)->setObjectName("BCancel");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(lbPrompt_);
    layout->addWidget(textEdit_);
    layout->addWidget(buttons);
    setMinimumWidth(374);
}

QString PromptDialog::text() const {
    return textEdit_->text();
}

std::string cutToCapacity(const QString& text, int capacity) {
    std::string bytes = QFile::encodeName(text).toStdString();
    const std::size_t limit = capacity > 2 ? static_cast<std::size_t>(capacity - 2) : 0;
    if (bytes.size() > limit) {
        std::size_t end = limit;
        // Back off continuation bytes so no character is cut in two.
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
            --end;
        }
        bytes.resize(end);
    }
    return bytes;
}

bool promptText(QWidget* parent, const QString& caption, const QString& prompt, std::string& value,
                int capacity) {
    PromptDialog dialog(caption, prompt, QFile::decodeName(QByteArray::fromStdString(value)),
                        parent);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    value = cutToCapacity(dialog.text(), capacity);
    return true;
}

bool promptNonEmpty(QWidget* parent, const QString& caption, const QString& prompt,
                    std::string& value, int capacity) {
    for (;;) {
        if (!promptText(parent, caption, prompt, value, capacity)) {
            return false;
        }
        if (!value.empty()) {
            return true;
        }
    }
}

}  // namespace vidmill
