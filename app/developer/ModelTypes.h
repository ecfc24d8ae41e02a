#pragma once

#include <QtQml/qqml.h>
#include <QObject>

#include "app/model/ExtraOutput.h"
#include "app/model/SenderController.h"

namespace kelvora {

// The app model links Qt Core only; the views name its objects through these.

struct SenderControllerForeign {
    Q_GADGET
    QML_FOREIGN(kelvora::SenderController)
    QML_NAMED_ELEMENT(SenderController)
    QML_UNCREATABLE("the program makes the one controller")
};

struct ExtraOutputForeign {
    Q_GADGET
    QML_FOREIGN(kelvora::ExtraOutput)
    QML_NAMED_ELEMENT(ExtraOutput)
    QML_UNCREATABLE("the controller makes the extra outputs")
};

}  // namespace kelvora
