#include "dialogs/about_box.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace vidmill {

AboutBox::AboutBox(const QString& caption, const QString& text, QWidget* parent) : QDialog(parent) {
    setObjectName("AboutBox");
    setWindowTitle(caption);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* image = new QLabel(this);
    image->setObjectName("Image1");
    image->setFixedSize(32, 32);
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        icon = style()->standardIcon(QStyle::SP_MessageBoxInformation);
    }
    image->setPixmap(icon.pixmap(32, 32));
    id1_ = new QLabel(text, this);
    id1_->setObjectName("Id1");
    id1_->setTextFormat(Qt::PlainText);
    id1_->setWordWrap(false);
    id1_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* ok = new QPushButton("&OK", this);
    ok->setObjectName("BitBtn1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* top = new QHBoxLayout;
    top->setSpacing(17);
    top->addWidget(image, 0, Qt::AlignTop);
    top->addWidget(id1_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(17, 17, 17, 17);
    layout->setSpacing(17);
    layout->addLayout(top);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    // Sized around its text, whatever its length.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ok->setFocus();
}

QString AboutBox::text() const {
    return id1_->text();
}

void runAboutBox(QWidget* parent, const QString& caption, const QString& text) {
    AboutBox about(caption, text, parent);
    about.exec();
}

}  // namespace vidmill
