#include "windows/Icon.h"

#include <QString>

// Resources compiled into a static library are only registered when something references them;
// Q_INIT_RESOURCE has to be expanded outside any namespace.
static void initWindowsResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(windows);
        return true;
    }();
    (void)registered;
}

namespace tamblin::windows {

QIcon tamblinIcon() {
    initWindowsResources();
    return QIcon(QStringLiteral(":/tamblin/icons/tamblin.png"));
}

}  // namespace tamblin::windows
