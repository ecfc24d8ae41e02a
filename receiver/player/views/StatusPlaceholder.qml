import QtQuick
import Kelvora.Ui

// The panel in the middle of the screen while no picture plays: what the player is doing and, once senders
// are found, the way to choose one.
Item {
    id: root
    property string symbol
    property bool pulses: false
    property string title
    property string subtitle
    property bool offersChoice: false
    // The width of the area the view is centred in: the panel keeps 24 px from either side of it, and its
    // lines wrap within.
    property real availableWidth: 100000
    signal choose

    implicitWidth: panel.width + 48
    implicitHeight: panel.height + 48

    Rectangle {
        id: panel
        anchors.centerIn: parent
        width: column.width + 56
        height: column.height + 48
        radius: 22
        color: Qt.rgba(0.11, 0.11, 0.12, 0.6)

        Column {
            id: column
            anchors.centerIn: parent
            spacing: 14
            width: Math.min(Math.max(0, root.availableWidth - 48 - 56),
                            Math.max(icon.width, titleText.implicitWidth, Math.min(subtitleText.implicitWidth, 360),
                                     button.visible ? button.width : 0))

            Symbol {
                id: icon
                objectName: "placeholderSymbol"
                anchors.horizontalCenter: parent.horizontalCenter
                name: root.symbol
                color: "white"
                size: 44
                opacity: 0.85
            }
            SequentialAnimation {
                running: root.pulses && root.visible
                loops: Animation.Infinite
                onStopped: icon.opacity = 0.85
                NumberAnimation { target: icon; property: "opacity"; to: 0.3; duration: 700; easing.type: Easing.InOutQuad }
                NumberAnimation { target: icon; property: "opacity"; to: 0.85; duration: 700; easing.type: Easing.InOutQuad }
            }
            Text {
                id: titleText
                objectName: "placeholderTitle"
                anchors.horizontalCenter: parent.horizontalCenter
                width: Math.min(implicitWidth, parent.width)
                text: root.title
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                horizontalAlignment: Text.AlignHCenter
                font.family: Theme.fontFamily
                font.pixelSize: 20
                font.weight: Font.DemiBold
                color: "white"
            }
            Text {
                id: subtitleText
                objectName: "placeholderSubtitle"
                anchors.horizontalCenter: parent.horizontalCenter
                width: Math.min(implicitWidth, 360, parent.width)
                text: root.subtitle
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                horizontalAlignment: Text.AlignHCenter
                font.family: Theme.fontFamily
                font.pixelSize: 14
                color: Qt.rgba(1, 1, 1, 0.7)
            }
            Rectangle {
                id: button
                objectName: "placeholderChooseButton"
                visible: root.offersChoice
                anchors.horizontalCenter: parent.horizontalCenter
                width: buttonRow.width + 32
                height: buttonRow.height + 20
                radius: height / 2
                color: Qt.rgba(1, 1, 1, chooseTap.pressed ? 0.25 : 0.15)
                Accessible.role: Accessible.Button
                Accessible.name: buttonLabel.text

                Row {
                    id: buttonRow
                    anchors.centerIn: parent
                    spacing: 6
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        name: "desktopcomputer"
                        color: "white"
                        size: 15
                    }
                    Text {
                        id: buttonLabel
                        text: "Sender wählen"
                        font.family: Theme.fontFamily
                        font.pixelSize: 14
                        font.weight: Font.DemiBold
                        color: "white"
                    }
                }
                TapHandler {
                    id: chooseTap
                    onTapped: root.choose()
                }
            }
        }
    }
}
