#pragma once

// A small notice shown while the program does blocking work, such as the
// check for a newer version at start-up. At most one exists at a time.

#include <QDialog>
#include <QString>

class QLabel;

namespace vidmill {

// Controls: LBText. Always on top, no title-bar buttons.
class PleaseWaitWindow : public QDialog {
    Q_OBJECT
  public:
    explicit PleaseWaitWindow(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;

  protected:
    // Only closePleaseWait ends it: not Escape, not the window manager.
    void closeEvent(QCloseEvent* event) override;
    void reject() override {}

  private:
    QLabel* lbText_;
};

// Shows the notice, centred on `over` when given, and paints it before
// returning, so that it is seen during the blocking work that follows. A
// notice still shown is closed first.
void showPleaseWait(const QString& caption, const QString& text, QWidget* over = nullptr);
void setPleaseWaitText(const QString& text);
// Destroys the notice; nothing when none is shown.
void closePleaseWait();
// The notice shown now, or null.
PleaseWaitWindow* currentPleaseWait();

}  // namespace vidmill
