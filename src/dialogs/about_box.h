#pragma once

// The about box: the program's picture, a few lines of text and OK.

#include <QDialog>
#include <QString>

class QLabel;

namespace vidmill {

// Controls: Image1, Id1 (the text), BitBtn1 (OK).
class AboutBox : public QDialog {
    Q_OBJECT
  public:
    // `text`: lines separated by line feeds.
    AboutBox(const QString& caption, const QString& text, QWidget* parent = nullptr);
    QString text() const;

  private:
    QLabel* id1_;
};

// Shows the about box modally.
void runAboutBox(QWidget* parent, const QString& caption, const QString& text);

}  // namespace vidmill
