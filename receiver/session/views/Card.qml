import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// A titled card: header (symbol, upper-case title, trailing accessory) only when a title is set, then the
// content, on the card background with a hairline border.
Rectangle {
    id: root
    property string title
    property string systemImage
    property Component trailing
    default property alias content: body.data

    Layout.fillWidth: true
    implicitWidth: column.implicitWidth + 32
    implicitHeight: column.implicitHeight + 32
    radius: 14
    color: Theme.cardBackground
    border.width: 1
    border.color: Theme.hairline

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 12

        RowLayout {
            objectName: "cardHeader"
            visible: root.title.length > 0
            spacing: 7
            Layout.fillWidth: true

            Symbol {
                visible: root.systemImage.length > 0
                name: root.systemImage
                color: Theme.secondaryText
                size: 13
            }
            Text {
                text: root.title.toUpperCase()
                font.family: Theme.fontFamily
                font.pixelSize: 12
                font.weight: Font.DemiBold
                font.letterSpacing: 0.4
                color: Theme.secondaryText
            }
            Item {
                Layout.fillWidth: true
            }
            Loader {
                active: root.trailing !== null
                sourceComponent: root.trailing
            }
        }

        ColumnLayout {
            id: body
            spacing: 12
            Layout.fillWidth: true
        }
    }
}
