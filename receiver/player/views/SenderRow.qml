import QtQuick
import Kelvora.Ui

// One sender in the picker's list: icon, name, what it sends and, where announced, its video input. The
// whole row takes the click.
Item {
    id: root
    property string name
    property string subtitle
    property string sourceName
    property bool isSelected: false
    signal clicked

    implicitHeight: Math.max(38, texts.implicitHeight) + 4 + 16
    Accessible.role: Accessible.Button
    Accessible.name: name

    Rectangle {
        anchors.fill: parent
        color: Theme.primaryText
        opacity: rowTap.pressed ? 0.08 : 0
    }
    Rectangle {
        id: tile
        x: 14
        anchors.verticalCenter: parent.verticalCenter
        width: 38
        height: 38
        radius: 9
        color: Qt.rgba(Theme.tint.r, Theme.tint.g, Theme.tint.b, 0.15)
        Symbol {
            anchors.centerIn: parent
            name: "desktopcomputer"
            color: Theme.tint
            size: 20
        }
    }
    Column {
        id: texts
        anchors.left: tile.right
        anchors.leftMargin: 12
        anchors.right: check.left
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 2
        Text {
            objectName: "senderRowName"
            width: parent.width
            text: root.name
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: 14
            font.weight: Font.Medium
            color: Theme.primaryText
        }
        Text {
            objectName: "senderRowSubtitle"
            width: parent.width
            text: root.subtitle
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
        }
        Text {
            visible: root.sourceName.length > 0
            width: parent.width
            text: root.sourceName
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: 10
            color: Theme.secondaryText
            opacity: 0.7
        }
    }
    Symbol {
        id: check
        objectName: "senderRowCheck"
        anchors.right: parent.right
        anchors.rightMargin: 14
        anchors.verticalCenter: parent.verticalCenter
        visible: root.isSelected
        name: "checkmark.circle.fill"
        color: Theme.tint
        size: visible ? 22 : 0
    }
    TapHandler {
        id: rowTap
        onTapped: root.clicked()
    }
}
