import QtQuick
import Kelvora.Ui

// The connection pill: a coloured dot, the sender or state, and the connection's progress below it.
Rectangle {
    id: root
    property string title
    property string detail
    property bool hasDetail: false
    property string dotColor: "gray"

    implicitWidth: content.implicitWidth + 24
    implicitHeight: content.implicitHeight + 14
    radius: height / 2
    color: Qt.rgba(0.11, 0.11, 0.12, 0.58)

    Row {
        id: content
        anchors.centerIn: parent
        spacing: 8

        Item {
            width: 8
            height: 8
            anchors.verticalCenter: parent.verticalCenter
            // A cheap glow instead of a shadow: the same colour, larger and faint.
            Rectangle {
                anchors.centerIn: parent
                width: 14
                height: 14
                radius: 7
                color: Theme.color(root.dotColor)
                opacity: 0.35
            }
            Rectangle {
                objectName: "statusPillDot"
                anchors.fill: parent
                radius: 4
                color: Theme.color(root.dotColor)
            }
        }
        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: 1
            Text {
                objectName: "statusPillTitle"
                text: root.title
                textFormat: Text.PlainText
                width: Math.min(implicitWidth, 260)
                elide: Text.ElideRight
                maximumLineCount: 1
                font.family: Theme.fontFamily
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: "white"
            }
            Text {
                objectName: "statusPillDetail"
                visible: root.hasDetail
                text: root.detail
                textFormat: Text.PlainText
                width: Math.min(implicitWidth, 260)
                elide: Text.ElideRight
                maximumLineCount: 1
                font.family: Theme.fontFamily
                font.pixelSize: 11
                color: Qt.rgba(1, 1, 1, 0.7)
            }
        }
    }
}
