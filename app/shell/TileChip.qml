import QtQuick
import QtQuick.Controls
import Kelvora.Ui

// A small label on a tile's picture: an optional symbol and one line of text, white on a dark capsule.
Rectangle {
    id: root
    property string text
    property string systemImage
    property string help
    property real maximumTextWidth: 240

    implicitWidth: row.implicitWidth + 16
    implicitHeight: row.implicitHeight + 8
    radius: height / 2
    color: Qt.rgba(0, 0, 0, 0.55)

    ToolTip.visible: hover.hovered && root.help.length > 0
    ToolTip.text: root.help

    HoverHandler {
        id: hover
    }

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 5

        Symbol {
            anchors.verticalCenter: parent.verticalCenter
            visible: root.systemImage.length > 0
            name: root.systemImage
            color: "white"
            size: 11
        }
        Text {
            objectName: "tileChipText"
            anchors.verticalCenter: parent.verticalCenter
            width: Math.min(implicitWidth, root.maximumTextWidth)
            text: root.text
            textFormat: Text.PlainText
            maximumLineCount: 1
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: 11
            font.weight: Font.DemiBold
            color: "white"
        }
    }
}
