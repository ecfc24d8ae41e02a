import QtQuick
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// The panel a click on the tray icon shows: name and state, a small live preview, the stream's figures and
// the action rows (the same as the icon's context menu).
Window {
    id: panel
    required property TrayModel model

    objectName: "trayPanel"
    title: "Tilvara Sender Status"
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    width: 330
    height: column.implicitHeight + 28
    color: Theme.windowBackground
    onVisibleChanged: model.setPanelVisible(visible)
    onActiveChanged: {
        // A click elsewhere puts the panel away, as a menu would.
        if (!active && visible) {
            panel.hide()
        }
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12

        // The badge stands beside the names where both fit whole, and under them where not: the longest
        // state ("KEIN VIDEOEINGANG") is the usual one with nothing plugged in, and neither the product's
        // name nor the state may be cut.
        GridLayout {
            id: header
            readonly property bool sideBySide: icon.size + names.implicitWidth + badge.implicitWidth
                                               + 2 * columnSpacing <= width

            Layout.fillWidth: true
            columnSpacing: 10
            rowSpacing: 6
            AppIconImage {
                id: icon
                size: 34
                Layout.minimumWidth: size
                Layout.row: 0
                Layout.column: 0
                Layout.rowSpan: header.sideBySide ? 1 : 2
                Layout.alignment: Qt.AlignTop
            }
            ColumnLayout {
                id: names
                objectName: "trayNames"
                Layout.row: 0
                Layout.column: 1
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                spacing: 1
                Text {
                    objectName: "trayProductName"
                    Layout.fillWidth: true
                    text: "Tilvara Sender"
                    elide: Text.ElideRight
                    font.family: Theme.fontFamily
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                    color: Theme.primaryText
                }
                Text {
                    objectName: "trayDisplayName"
                    Layout.fillWidth: true
                    text: panel.model.displayName
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    font.family: Theme.fontFamily
                    font.pixelSize: 11
                    color: Theme.secondaryText
                }
            }
            StatusBadge {
                id: badge
                objectName: "trayBadge"
                Layout.row: header.sideBySide ? 0 : 1
                Layout.column: header.sideBySide ? 2 : 1
                Layout.minimumWidth: implicitWidth
                Layout.alignment: header.sideBySide ? Qt.AlignRight | Qt.AlignVCenter : Qt.AlignLeft
                title: panel.model.badgeTitle
                color: Theme.color(panel.model.badgeColor)
                pulsing: panel.model.showsPicture
            }
        }

        Rectangle {
            objectName: "trayPreview"
            Layout.fillWidth: true
            Layout.preferredHeight: width * 9 / 16
            radius: 10
            color: "black"

            VideoView {
                anchors.fill: parent
                radius: 10
                feed: panel.model.preview
                opacity: panel.model.showsPicture ? 1 : 0
            }
            Column {
                anchors.centerIn: parent
                width: parent.width - 24
                visible: !panel.model.showsPicture
                spacing: 4
                Text {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: panel.model.statusTitle
                    font.family: Theme.fontFamily
                    font.pixelSize: 13
                    font.weight: Font.DemiBold
                    color: "white"
                }
                Text {
                    objectName: "trayStatusDetail"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    text: panel.model.statusDetail
                    textFormat: Text.PlainText
                    font.family: Theme.fontFamily
                    font.pixelSize: 11
                    color: Qt.rgba(1, 1, 1, 0.65)
                }
            }
        }

        GridLayout {
            objectName: "trayFigures"
            Layout.fillWidth: true
            columns: 2
            columnSpacing: 12
            rowSpacing: 5
            // Both columns by count: the figures are a new list on every status change, and lines rebuilt
            // that often would leave the grid laying out freed lines should its size change meanwhile. When
            // their number changes, the grid lets go of the freed lines at once.
            LayoutRepeater {
                model: panel.model.figures.length
                delegate: Text {
                    required property int index
                    readonly property var modelData: panel.model.figures[index] ?? ({}) // qmllint disable unqualified
                    Layout.row: index
                    Layout.column: 0
                    text: modelData.label
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    color: Theme.secondaryText
                }
            }
            LayoutRepeater {
                model: panel.model.figures.length
                delegate: Text {
                    required property int index
                    readonly property var modelData: panel.model.figures[index] ?? ({}) // qmllint disable unqualified
                    Layout.row: index
                    Layout.column: 1
                    Layout.fillWidth: true
                    text: modelData.value
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    color: Theme.primaryText
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.hairline
        }

        Column {
            objectName: "trayActions"
            Layout.fillWidth: true
            spacing: 2
            Repeater {
                model: panel.model.rows
                delegate: Column {
                    id: entry
                    required property var modelData
                    width: parent.width
                    Rectangle {
                        visible: entry.modelData.dividerBefore
                        width: parent.width
                        height: visible ? 9 : 0
                        color: "transparent"
                        Rectangle {
                            anchors.centerIn: parent
                            width: parent.width
                            height: 1
                            color: Theme.hairline
                        }
                    }
                    Rectangle {
                        objectName: "trayRow"
                        width: parent.width
                        height: rowContent.implicitHeight + 12
                        radius: 6
                        color: rowHover.hovered ? Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.08) : "transparent"
                        HoverHandler {
                            id: rowHover
                        }
                        TapHandler {
                            onTapped: entry.modelData.tray.trigger(entry.modelData.action)
                        }
                        Row {
                            id: rowContent
                            anchors.verticalCenter: parent.verticalCenter
                            x: 8
                            spacing: 10
                            Item {
                                width: 18
                                height: 16
                                Symbol {
                                    anchors.centerIn: parent
                                    name: entry.modelData.symbol
                                    color: Theme.secondaryText
                                }
                            }
                            Text {
                                text: entry.modelData.title
                                font.family: Theme.fontFamily
                                font.pixelSize: 13
                                color: Theme.primaryText
                            }
                        }
                    }
                }
            }
        }
    }
}
