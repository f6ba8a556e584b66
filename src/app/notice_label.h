#pragma once

#include <QLabel>
#include <QResizeEvent>
#include <QString>

namespace vidmill {

// The status bar's panel for what the window has to say (a preview under
// way, what is watched and how the watch goes): it takes the room the fixed
// panels leave, shows its text whole where that fits and shortened in the
// middle where it does not, and always whole in its tip. It never widens
// the window.
class NoticeLabel : public QLabel {
  public:
    explicit NoticeLabel(QWidget* parent) : QLabel(parent) {
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    void setNotice(const QString& text, const QString& tip = {}) {
        notice_ = text;
        setToolTip(tip.isEmpty() ? text : tip);
        fit();
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        fit();
    }

  private:
    void fit() {
        setText(fontMetrics().elidedText(notice_, Qt::ElideMiddle, contentsRect().width()));
    }

    QString notice_;
};

}  // namespace vidmill
