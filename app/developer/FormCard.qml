import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// One section of the inspector's grouped form: the header, the rows on a rounded card, the footer below.
ColumnLayout {
    id: root
    property string header
    default property alias rows: body.data
    property alias footer: footerColumn.data

    Layout.fillWidth: true
    spacing: 6

    Text {
        objectName: "groupHeader"
        text: root.header
        font.family: Theme.fontFamily
        font.pixelSize: 12
        font.weight: Font.DemiBold
        color: Theme.secondaryText
        Layout.leftMargin: 4
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: body.implicitHeight + 24
        radius: 10
        color: Theme.cardBackground
        border.width: 1
        border.color: Theme.hairline

        ColumnLayout {
            id: body
            anchors.fill: parent
            anchors.margins: 12
            spacing: 10
        }
    }

    ColumnLayout {
        id: footerColumn
        visible: children.length > 0
        spacing: 6
        Layout.fillWidth: true
        Layout.leftMargin: 4
        Layout.rightMargin: 4
    }
}
