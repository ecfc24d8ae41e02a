import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A labelled switch that shows its model's value and reports the user's flips; after a flip it shows
// whatever the model holds then, which may be the old value when the change was refused.
RowLayout {
    id: root
    property string label
    property bool checked
    property string help
    readonly property alias switchEnabled: toggle.enabled
    signal toggled(bool on)

    Layout.fillWidth: true
    spacing: 8

    FormText {
        text: root.label
        Layout.fillWidth: true
        enabled: root.enabled
        opacity: root.enabled ? 1 : 0.5
    }

    Switch {
        id: toggle
        objectName: root.objectName + "Switch"
        checked: root.checked
        ToolTip.visible: hovered && root.help.length > 0
        ToolTip.text: root.help
        ToolTip.delay: 600
        onToggled: {
            root.toggled(checked);
            checked = Qt.binding(() => root.checked);
        }
    }
}
