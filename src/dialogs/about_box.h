#pragma once

// The about box: the program's picture, a few lines of text and OK.

#include <QDialog>
#include <QString>

class QLabel;

namespace vidmill {

// Controls: Image1, Id1 (the text), BitBtn1 (OK).
class TFAbout : public QDialog {
    Q_OBJECT
  public:
    // `text`: lines separated by line feeds.
    TFAbout(const QString& caption, const QString& text, QWidget* parent = nullptr);
    QString text() const;

  private:
    QLabel* id1_;
};

// Shows the about box modally.
void ShowAbout(QWidget* parent, const QString& caption, const QString& text);

}  // namespace vidmill
