#include "windows/ValueDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "windows/ButtonKeys.h"
#include "windows/MessageBox.h"
#include "windows/Twips.h"
#include "windows/ValueReader.h"

namespace tamblin::windows {

namespace {

const char* const kRefusal = "Please enter a number between 0 and 127";

}  // namespace

ValueDialog::ValueDialog(QWidget* parent)
    // A normal top-level window (not Qt::Dialog) so that it has minimise and maximise buttons,
    // a sizable frame and a taskbar entry of its own.
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      label1_(placeNamed(new QLabel(this), QStringLiteral("Label1"), 480, 240, 3615, 255)),
      txtValue_(placeNamed(new QLineEdit(this), QStringLiteral("txtValue"), 1080, 600, 2415, 285)),
      command1_(placeNamed(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("Command1"),
                           1560, 1080, 1335, 375)) {
    // The original title and label name, kept on purpose (docs/NAMES.md).
    setWindowTitle(QStringLiteral("Form1"));
    setFont(dialogFont());
    setProperty(kTwipsClient, QSize(4680, 1755));
    resize(twipsRect(0, 0, 4680, 1755, logicalDpiX()).size());

    label1_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    connect(command1_, &QPushButton::clicked, this, &ValueDialog::command1Click);
    setTabOrder(txtValue_, command1_);
    // The button is no default one: Enter in txtValue must not confirm the entry.
    pressButtonsOnEnter(*this);
    setInitialTexts();
}

void ValueDialog::setInitialTexts() {
    label1_->setText(QStringLiteral("Enter desired controller value"));
    txtValue_->setText(QStringLiteral("0"));
    txtValue_->setFocus();
}

int ValueDialog::get_cval() {
    exec();
    return acceptedValue_;
}

void ValueDialog::command1Click() {
    if (const auto value = controllerValueFromText(txtValue_->text().toStdString())) {
        acceptedValue_ = *value;
        accept();
        return;
    }
    showMessage(QString::fromLatin1(kRefusal), this);
}

void ValueDialog::reject() {
    setInitialTexts();
    QDialog::reject();
}

void ValueDialog::showEvent(QShowEvent* event) {
    // QDialog would centre the dialog on the screen; a new window of this kind goes where the
    // window system puts new windows.
    QWidget::showEvent(event);
}

}  // namespace tamblin::windows
