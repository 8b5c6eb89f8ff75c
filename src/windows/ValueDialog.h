#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace tamblin::windows {

// The controller value dialog: asks for one value 0..127. One object serves the whole run;
// OK hides it with the text kept, the close box (or Escape) returns it to its initial texts.
class ValueDialog : public QDialog {
    Q_OBJECT

public:
    explicit ValueDialog(QWidget* parent = nullptr);

    // Shows the dialog modally, with no owner window, and returns the value last accepted in
    // this run (0 if none) once the dialog is hidden or closed.
    int get_cval();
    int acceptedValue() const { return acceptedValue_; }

public slots:
    // The close box and Escape both end up here: a close without OK.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void command1Click();
    void setInitialTexts();

    QLabel* label1_;
    QLineEdit* txtValue_;
    QPushButton* command1_;
    int acceptedValue_ = 0;
};

}  // namespace tamblin::windows
