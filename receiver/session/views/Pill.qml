import QtQuick
import Kelvora.Ui

// A small label on a capsule of its own colour at 15 % strength.
Item {
    id: root
    property string text
    property color color: Theme.color("gray")

    implicitWidth: label.implicitWidth + 14
    implicitHeight: label.implicitHeight + 4

    Rectangle {
        objectName: "pillCapsule"
        anchors.fill: parent
        radius: height / 2
        color: Qt.rgba(root.color.r, root.color.g, root.color.b, 0.15)
    }

    Text {
        id: label
        objectName: "pillText"
        anchors.centerIn: parent
        text: root.text
        font.family: Theme.fontFamily
        font.pixelSize: 10
        font.weight: Font.DemiBold
        color: root.color
    }
}
