#include "windows/MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

namespace tamblin::windows {

void showMessage(const QString& text, QWidget* parent) {
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromLatin1(kAppTitle));
    box.setIcon(QMessageBox::NoIcon);
    // Device names can end up in messages one day; never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    // Our own caption rather than the standard button's, which a translation could change.
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

}  // namespace tamblin::windows
