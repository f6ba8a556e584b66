#include "dialogs/tip_window.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

namespace vidmill {

namespace {

QFrame* blackRule(QWidget* parent) {
    auto* rule = new QFrame(parent);
    rule->setFixedHeight(2);
    rule->setAutoFillBackground(true);
    QPalette palette = rule->palette();
    palette.setColor(QPalette::Window, Qt::black);
    rule->setPalette(palette);
    return rule;
}

}  // namespace

QString normalizeTipText(const QString& tip) {
    // Blanks are written out only when something other than a line break
    // follows them.
    QString trimmed;
    trimmed.reserve(tip.size());
    qsizetype blanks = 0;
    for (const QChar c : tip) {
        if (c == QLatin1Char(' ')) {
            ++blanks;
            continue;
        }
        if (c != QLatin1Char('\n')) {
            trimmed.append(QString(blanks, QLatin1Char(' ')));
        }
        blanks = 0;
        trimmed.append(c);
    }
    QString joined;
    joined.reserve(trimmed.size());
    const qsizetype n = trimmed.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = trimmed[i];
        const bool single = c == QLatin1Char('\n') && i > 0 &&
                            trimmed[i - 1] != QLatin1Char('\n') && i + 1 < n &&
                            trimmed[i + 1] != QLatin1Char('\n');
        if (!single) {
            joined.append(c);
        } else if (!trimmed[i - 1].isSpace()) {
            joined.append(QLatin1Char(' '));
        }
    }
    return joined;
}

int countTips(const QStringList& tips) {
    if (tips.isEmpty()) {
        return 0;
    }
    int count = 1;
    while (count < tips.size() && !tips[count].isEmpty()) {
        ++count;
    }
    return count;
}

TipWindow::TipWindow(TipSet& tips, QWidget* parent) : QDialog(parent), tips_(tips) {
    setObjectName("TipWindow");
    setWindowTitle(tips.caption);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* picContainer = new QFrame(this);
    picContainer->setObjectName("picContainer");
    picContainer->setFixedSize(409, 241);
    picContainer->setAutoFillBackground(true);
    QPalette white = picContainer->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::Base, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    white.setColor(QPalette::Text, Qt::black);
    picContainer->setPalette(white);

    auto* image = new QLabel(picContainer);
    image->setObjectName("Image1");
    image->setFixedSize(32, 32);
    image->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    lbTitle_ = new QLabel(tips.header, picContainer);
    lbTitle_->setObjectName("LBTitle");
    QFont bold = lbTitle_->font();
    bold.setBold(true);
    bold.setPixelSize(19);
    lbTitle_->setFont(bold);
    QFrame* shape2 = blackRule(picContainer);
    shape2->setObjectName("Shape2");
    reText_ = new QTextEdit(picContainer);
    reText_->setObjectName("REText");
    reText_->setReadOnly(true);
    reText_->setFrameShape(QFrame::NoFrame);
    reText_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    reText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    reText_->setPalette(white);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    titleRow->addWidget(image);
    titleRow->addWidget(lbTitle_, 1);
    auto* inside = new QVBoxLayout(picContainer);
    inside->setContentsMargins(12, 10, 12, 8);
    inside->setSpacing(6);
    inside->addLayout(titleRow);
    inside->addWidget(shape2);
    inside->addWidget(reText_, 1);

    showAtStartupBox_ = new QCheckBox("Show at startup", this);
    showAtStartupBox_->setObjectName("CBStartup");
    showAtStartupBox_->setChecked(tips.showAtStartup);
    previousButton_ = new QPushButton("&Previous", this);
    previousButton_->setObjectName("BitBtnPrevious");
    nextButton_ = new QPushButton("&Next", this);
    nextButton_->setObjectName("BitBtnNext");
    auto* close = new QPushButton("&Close", this);
    close->setObjectName("BitBtnClose");
    close->setDefault(true);
    for (QPushButton* button : {previousButton_, nextButton_}) {
        button->setAutoDefault(false);
    }
    connect(previousButton_, &QPushButton::clicked, this, &TipWindow::showPreviousTip);
    connect(nextButton_, &QPushButton::clicked, this, &TipWindow::showNextTip);
    // Closing is always a cancel: only the check box's state is handed back.
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this,
            [this] { tips_.showAtStartup = showAtStartupBox_->isChecked(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(showAtStartupBox_);
    buttons->addStretch(1);
    buttons->addWidget(previousButton_);
    buttons->addWidget(nextButton_);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 10);
    layout->setSpacing(8);
    layout->addWidget(picContainer, 0, Qt::AlignHCenter);
    layout->addWidget(blackRule(this));
    layout->addLayout(buttons);
    setFixedSize(layout->sizeHint().expandedTo(QSize(438, 300)));

    count_ = countTips(tips.tips);
    index_ = 0;
    showCurrentTip();
    close->setFocus();
}

QString TipWindow::shownText() const {
    return reText_->toPlainText();
}

void TipWindow::showCurrentTip() {
    if (count_ >= 1) {
        reText_->setPlainText(normalizeTipText(tips_.tips[index_]));
    }
    const bool several = count_ >= 2;
    previousButton_->setEnabled(several && index_ != 0);
    nextButton_->setEnabled(several && index_ != count_ - 1);
}

void TipWindow::showNextTip() {
    index_ = std::min(index_ + 1, std::max(count_ - 1, 0));
    showCurrentTip();
}

void TipWindow::showPreviousTip() {
    index_ = std::max(index_ - 1, 0);
    showCurrentTip();
}

void showTipWindow(QWidget* parent, const TipSet& tips, std::function<void(bool)> keep) {
    if (parent != nullptr) {
        for (TipWindow* open : parent->findChildren<TipWindow*>()) {
            if (open->isVisible()) {
                open->raise();
                open->activateWindow();
                return;
            }
        }
    }
    // The window outlives this call: its tips live as long as its check box.
    auto kept = std::make_shared<TipSet>(tips);
    auto* window = new TipWindow(*kept, parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(window->findChild<QCheckBox*>("CBStartup"), &QCheckBox::toggled, window,
                     [kept, keep = std::move(keep)](bool on) { keep(on); });
    window->show();
}

}  // namespace vidmill
