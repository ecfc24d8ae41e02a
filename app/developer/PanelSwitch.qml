import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// A small switch with a title and a line below it. It shows `on` and asks for the other value through
// `flipped`; it never changes what it shows by itself, so a write the model refuses leaves it as it was.
RowLayout {
    id: root
    property string title
    property string subtitle
    property bool subtitleIsError: false
    property string help
    property bool on

    signal flipped(bool value)

    spacing: 6

    Switch {
        objectName: "switch"
        checkable: false
        checked: root.on
        Accessible.name: root.title
        onClicked: root.flipped(!root.on)
        ToolTip.visible: hovered && root.help.length > 0
        ToolTip.text: root.help
    }

    ColumnLayout {
        spacing: 1
        Layout.fillWidth: true
        Text {
            text: root.title
            font.family: Theme.fontFamily
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: root.enabled ? Theme.primaryText : Theme.secondaryText
        }
        Text {
            objectName: "switchSubtitle"
            visible: root.subtitle.length > 0
            text: root.subtitle
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: root.subtitleIsError ? Theme.color("red") : Theme.secondaryText
            Layout.fillWidth: true
        }
    }
}
