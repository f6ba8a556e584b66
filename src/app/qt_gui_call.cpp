#include "app/qt_gui_call.h"

namespace vidmill {

QtGuiCall::QtGuiCall(QObject* parent) : QObject(parent) {
    setArrivalHook([this] {
        if (!posted_.exchange(true)) {
            QMetaObject::invokeMethod(this, &QtGuiCall::drain, Qt::QueuedConnection);
        }
    });
}

void QtGuiCall::drain() {
    // Cleared first: a call that comes in while these run posts anew.
    posted_.store(false);
    runPending();
}

}  // namespace vidmill
