#pragma once

// The tip of the day: one of a fixed set of usage tips at a time, with
// buttons to step through them and the "Show at startup" choice. The caller
// hands over the texts and the choice, and gets the choice back; the window
// keeps nothing of its own.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QTextEdit;

namespace vidmill {

struct TipSet {
    QString caption;
    // The title line above the tip.
    QString header;
    // Ends with an empty text; tips after the first empty one are not shown.
    QStringList tips;
    bool showAtStartup = true;
};

// Trailing blanks go; a single line break inside a paragraph becomes a blank
// (or nothing after white space); paragraph breaks stay. So tips may be
// written with hard line breaks and still flow in the window.
QString normalizeTipText(const QString& tip);

// The number of tips in the list: the first always counts, then the tips up
// to the first empty text.
int countTips(const QStringList& tips);

// Controls: picContainer, Image1, LBTitle, Shape2, REText, CBStartup,
// BitBtnPrevious, BitBtnNext, BitBtnClose. However the window closes (Close,
// Escape, the title bar), the check box's state goes back into the tip set.
class TipWindow : public QDialog {
    Q_OBJECT
  public:
    TipWindow(TipSet& tips, QWidget* parent = nullptr);

    int tipCount() const { return count_; }
    int tipIndex() const { return index_; }
    QString shownText() const;

    void showNextTip();
    void showPreviousTip();

  private:
    void showCurrentTip();

    TipSet& tips_;
    int count_ = 0;
    int index_ = 0;
    QLabel* lbTitle_;
    QTextEdit* reText_;
    QCheckBox* showAtStartupBox_;
    QPushButton* previousButton_;
    QPushButton* nextButton_;
};

// Shows the tips without waiting for them to close; `keep` gets each new
// state of "Show at startup". Asked again while they are open, the open
// window comes to the front.
void showTipWindow(QWidget* parent, const TipSet& tips, std::function<void(bool)> keep);

}  // namespace vidmill
