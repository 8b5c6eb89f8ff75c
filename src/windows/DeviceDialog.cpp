#include "windows/DeviceDialog.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>

#include "windows/ButtonKeys.h"
#include "windows/Icon.h"
#include "windows/Twips.h"

namespace tamblin::windows {

DeviceDialog::DeviceDialog(QWidget* parent)
    // Qt::Dialog keeps it out of the taskbar; the fixed-size hint gives it a frame that cannot
    // be dragged to another size.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      lblTask_(placeNamed(new QLabel(this), QStringLiteral("lblTask"), 240, 240, 5175, 255)),
      lstDevs_(placeNamed(new QListWidget(this), QStringLiteral("lstDevs"), 120, 600, 5535, 2595)),
      okButton_(placeNamed(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OKButton"),
                           2408, 3480, 1215, 375)) {
    setWindowTitle(QStringLiteral("Select MIDI device"));
    setProperty(kTwipsClient, QSize(6030, 4005));
    setWindowIcon(tamblinIcon());
    setFont(dialogFont());

    lblTask_->setFont(dialogFont(9.75, true));
    lblTask_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    lstDevs_->setSelectionMode(QAbstractItemView::SingleSelection);
    lstDevs_->setSortingEnabled(false);

    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
    setTabOrder(okButton_, lstDevs_);
    // OK is neither a default nor a cancel button: Enter in the list must not choose.
    pressButtonsOnEnter(*this);
    setInitialState();
}

void DeviceDialog::setInitialState() {
    lstDevs_->clear();
    // The old placeholder prompt, kept on purpose (docs/NAMES.md); callers always set their own.
    lblTask_->setText(QStringLiteral("Label1"));
    okButton_->setFocus();
    // setGeometry places the client area, not the frame, and the fixed place is the client's.
    const QRect client = twipsRect(2760, 3750, 6030, 4005, logicalDpiX());
    setFixedSize(client.size());
    setGeometry(client.translated(screen() ? screen()->geometry().topLeft() : QPoint()));
}

void DeviceDialog::clearDevices() {
    lstDevs_->clear();
}

void DeviceDialog::addDevice(const QString& name) {
    lstDevs_->addItem(name);
}

void DeviceDialog::setTask(const QString& prompt) {
    lblTask_->setText(prompt);
}

void DeviceDialog::selectRow(int row) {
    lstDevs_->setCurrentRow(row);
}

void DeviceDialog::showModal() {
    exec();
}

int DeviceDialog::selectedRow() const {
    const QModelIndexList rows = lstDevs_->selectionModel()->selectedIndexes();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void DeviceDialog::reject() {
    setInitialState();
    QDialog::reject();
}

}  // namespace tamblin::windows
