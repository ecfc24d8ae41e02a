pragma ComponentBehavior: Bound

import QtQuick
import Kelvora.Ui

// The statistics of the running session as a small table over the video; with the sender's test picture a
// local clock with milliseconds beside it, so that one photo of both shows the glass-to-glass latency.
Rectangle {
    id: root
    property string header
    property bool showsSyncBadge: false
    property var rows: []
    property bool showsClock: false

    // DejaVu Sans Mono is wider than the platform font this panel was laid out for: it grows with its
    // longest row rather than cut a figure off.
    width: Math.max(270, table.implicitWidth + 24)
    implicitHeight: column.implicitHeight + 24
    radius: 14
    color: Qt.rgba(0, 0, 0, 0.62)
    border.color: Qt.rgba(1, 1, 1, 0.12)
    border.width: 1

    TextMetrics {
        id: labelMetrics
        font.family: Theme.monospaceFontFamily
        font.pixelSize: 11
        text: "Keyframe-Anfr."
    }

    Column {
        id: column
        x: 12
        y: 12
        width: root.width - 24
        spacing: 6

        Row {
            width: parent.width
            spacing: 6
            Symbol {
                id: headerIcon
                anchors.verticalCenter: parent.verticalCenter
                name: "waveform.path.ecg"
                color: "white"
                size: 13
            }
            Text {
                objectName: "overlayHeader"
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width - headerIcon.width - (badge.visible ? badge.width + 12 : 6)
                text: root.header
                textFormat: Text.PlainText
                elide: Text.ElideRight
                maximumLineCount: 1
                font.family: Theme.fontFamily
                font.pixelSize: 12
                font.weight: Font.DemiBold
                color: "white"
            }
            Rectangle {
                id: badge
                objectName: "overlaySyncBadge"
                visible: root.showsSyncBadge
                anchors.verticalCenter: parent.verticalCenter
                width: badgeText.implicitWidth + 10
                height: badgeText.implicitHeight + 4
                radius: height / 2
                color: Qt.rgba(Theme.color("orange").r, Theme.color("orange").g, Theme.color("orange").b, 0.8)
                Text {
                    id: badgeText
                    anchors.centerIn: parent
                    text: "SYNC"
                    font.family: Theme.fontFamily
                    font.pixelSize: 9
                    font.bold: true
                    color: "white"
                }
            }
        }
        Rectangle {
            width: parent.width
            height: 1
            color: Qt.rgba(1, 1, 1, 0.2)
        }
        Column {
            id: table
            spacing: 3
            Repeater {
                model: root.rows
                delegate: Row {
                    id: row
                    required property var modelData
                    spacing: 14
                    Text {
                        width: labelMetrics.advanceWidth
                        text: row.modelData.label
                        font.family: Theme.monospaceFontFamily
                        font.pixelSize: 11
                        color: Qt.rgba(1, 1, 1, 0.6)
                    }
                    Text {
                        objectName: "overlayValue"
                        text: row.modelData.value
                        textFormat: Text.PlainText
                        font.family: Theme.monospaceFontFamily
                        font.pixelSize: 11
                        color: row.modelData.color.length > 0 ? Theme.color(row.modelData.color) : "white"
                    }
                }
            }
        }
        Rectangle {
            visible: root.showsClock
            width: parent.width
            height: 1
            color: Qt.rgba(1, 1, 1, 0.2)
        }
        Item {
            visible: root.showsClock
            width: parent.width
            height: clock.implicitHeight
            Text {
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                text: "Uhr hier"
                font.family: Theme.monospaceFontFamily
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Qt.rgba(1, 1, 1, 0.6)
            }
            LiveClock {
                id: clock
                objectName: "overlayClock"
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                size: 13
                color: "white"
            }
        }
        Text {
            visible: root.showsClock
            width: parent.width
            text: "Foto von Testbild und dieser Uhr ⇒ Glas-zu-Glas-Latenz"
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: 9
            color: Qt.rgba(1, 1, 1, 0.55)
        }
    }
}
