#pragma once

#include <QString>

class QWidget;

namespace tamblin::windows {

// Cut short in the original, and kept so on purpose (docs/NAMES.md).
inline constexpr const char* kAppTitle = "Tambl";

// Modal message box: the fixed text, one OK button, no icon, the application's title "Tambl".
// Returns when dismissed.
void showMessage(const QString& text, QWidget* parent = nullptr);

}  // namespace tamblin::windows
