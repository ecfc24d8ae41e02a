import QtQuick
import QtQuick.Controls
import Kelvora.Ui
import Kelvora.Shell

// The pop-up with which an output's source is picked: the button shows the current choice; the list
// shows every row of the menu model with dividers between its groups.
Button {
    id: root
    property SourceMenuModel menu

    focusPolicy: Qt.NoFocus
    implicitWidth: 160
    implicitHeight: 28
    Accessible.name: "Quelle"

    contentItem: Row {
        spacing: 6
        Symbol {
            anchors.verticalCenter: parent.verticalCenter
            name: root.menu ? root.menu.currentSymbol : ""
            color: Theme.primaryText
            size: 14
        }
        Text {
            objectName: "sourceMenuTitle"
            anchors.verticalCenter: parent.verticalCenter
            width: root.availableWidth - 20
            text: root.menu ? root.menu.currentTitle : ""
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: 13
            color: Theme.primaryText
        }
    }

    onClicked: popup.open()

    Connections {
        target: root.menu
        function onChosen() {
            popup.close()
        }
    }

    Popup {
        id: popup
        objectName: "sourceMenuPopup"
        y: root.height + 2
        width: Math.max(root.width, 320)
        padding: 4
        height: Math.min(list.contentHeight + 8, 360)

        background: Rectangle {
            color: Theme.cardBackground
            border.color: Theme.hairline
            radius: 8
        }

        ListView {
            id: list
            anchors.fill: parent
            clip: true
            model: root.menu
            boundsBehavior: Flickable.StopAtBounds

            delegate: Item {
                id: entry
                required property int index
                required property string title
                required property string symbol
                required property bool divider
                required property bool selected

                objectName: "sourceMenuEntry" + index
                width: ListView.view.width
                height: divider ? 9 : 28

                Rectangle {
                    visible: entry.divider
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width
                    height: 1
                    color: Theme.hairline
                }
                Rectangle {
                    visible: !entry.divider
                    anchors.fill: parent
                    radius: 5
                    color: area.containsMouse ? Theme.tint : "transparent"
                }
                Row {
                    visible: !entry.divider
                    anchors.verticalCenter: parent.verticalCenter
                    x: 6
                    spacing: 6
                    Text {
                        width: 12
                        text: entry.selected ? "✓" : ""
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        color: area.containsMouse ? "white" : Theme.primaryText
                    }
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        name: entry.divider ? "" : entry.symbol
                        color: area.containsMouse ? "white" : Theme.primaryText
                        size: 14
                    }
                    Text {
                        text: entry.title
                        textFormat: Text.PlainText
                        font.family: Theme.fontFamily
                        font.pixelSize: 13
                        color: area.containsMouse ? "white" : Theme.primaryText
                    }
                }
                MouseArea {
                    id: area
                    anchors.fill: parent
                    enabled: !entry.divider
                    hoverEnabled: true
                    onClicked: entry.ListView.view.model.choose(entry.index)
                }
            }
        }
    }
}
