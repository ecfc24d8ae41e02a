import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// A figure with its title, unit and symbol on a tinted icon tile.
Rectangle {
    id: root
    property string title
    property string value
    property string unit
    property string systemImage
    property color tint: Theme.tint

    Layout.fillWidth: true
    implicitWidth: row.implicitWidth + 24
    implicitHeight: row.implicitHeight + 24
    radius: 12
    clip: true
    color: Theme.cardBackground
    border.width: 1
    border.color: Theme.hairline

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 12
        spacing: 12

        Rectangle {
            objectName: "metricIcon"
            Layout.preferredWidth: 36
            Layout.preferredHeight: 36
            Layout.minimumWidth: 36
            Layout.maximumWidth: 36
            radius: 9
            color: Qt.rgba(root.tint.r, root.tint.g, root.tint.b, 0.14)

            Symbol {
                anchors.centerIn: parent
                name: root.systemImage
                color: root.tint
                size: 17
            }
        }

        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true

            Text {
                text: root.title
                font.family: Theme.fontFamily
                font.pixelSize: 11
                font.weight: Font.Medium
                color: Theme.secondaryText
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            RowLayout {
                spacing: 3
                Layout.fillWidth: true
                Text {
                    objectName: "metricValue"
                    text: root.value
                    font.family: Theme.fontFamily
                    font.pixelSize: 20
                    font.weight: Font.DemiBold
                    color: Theme.primaryText
                }
                Text {
                    objectName: "metricUnit"
                    visible: root.unit.length > 0
                    text: root.unit
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    font.weight: Font.Medium
                    color: Theme.secondaryText
                    Layout.alignment: Qt.AlignBaseline
                }
                Item {
                    Layout.fillWidth: true
                }
            }
        }
    }
}
