#pragma once

// A modal one-line text prompt with OK and Cancel.

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;

namespace vidmill {

class PromptDialog : public QDialog {
    Q_OBJECT
  public:
    PromptDialog(const QString& caption, const QString& prompt, const QString& value,
                 QWidget* parent = nullptr);
    QString text() const;
    QLineEdit* edit() const { return textEdit_; }

  private:
    QLabel* lbPrompt_;
    QLineEdit* textEdit_;
};

// The entered text in bytes, cut to capacity - 2 bytes at a character
// boundary, never inside one.
std::string cutToCapacity(const QString& text, int capacity);

// Shows the prompt; true with the entered text (cut as above) in `value`
// when the user chose OK, false with `value` unchanged otherwise.
bool promptText(QWidget* parent, const QString& caption, const QString& prompt, std::string& value,
                int capacity);
// As promptText, but an OK on an empty text asks again.
bool promptNonEmpty(QWidget* parent, const QString& caption, const QString& prompt,
                    std::string& value, int capacity);

}  // namespace vidmill
