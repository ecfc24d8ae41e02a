import QtQuick
import QtQuick.Controls
import Kelvora.Ui

// A pill with its tooltip (none while `help` is empty).
Pill {
    id: root
    property string help

    HoverHandler {
        id: hover
    }
    ToolTip.visible: hover.hovered && root.help.length > 0
    ToolTip.text: root.help
}
