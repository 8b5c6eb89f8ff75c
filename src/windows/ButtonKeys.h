#pragma once

class QWidget;

namespace tamblin::windows {

// Enter (Return, or Enter on the keypad) on a focused push button of `window` presses it, as on
// the desktop the program was designed for. No button is or becomes a default button (they are
// made plain ones): Enter in a text box, on a check box or in a list presses nothing. Covers the
// push buttons `window` holds when it is called.
void pressButtonsOnEnter(QWidget& window);

}  // namespace tamblin::windows
