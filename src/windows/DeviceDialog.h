#pragma once

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;

namespace tamblin::windows {

// The device choice dialog. The caller fills the list, sets the prompt, selects a row, shows
// the dialog and reads the selected row. OK hides the dialog and keeps rows and selection; the
// close box (or Escape) empties it and restores the initial texts, so the read finds no row.
class DeviceDialog : public QDialog {
    Q_OBJECT

public:
    explicit DeviceDialog(QWidget* parent = nullptr);

    void clearDevices();
    void addDevice(const QString& name);
    void setTask(const QString& prompt);
    void selectRow(int row);
    // Modal, with no owner window; returns when the dialog is hidden (OK) or closed.
    void showModal();
    int selectedRow() const;  // -1 when no row is selected

public slots:
    void reject() override;

private:
    void setInitialState();

    QLabel* lblTask_;
    QListWidget* lstDevs_;
    QPushButton* okButton_;
};

}  // namespace tamblin::windows
