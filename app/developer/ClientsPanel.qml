import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// Every viewer of the main output with its link figures, and a button that sends it away.
// The exemptions from the linter's unqualified check mark delegates and inline components that reach this
// file's root; Qt 6.4 cannot be told that they are only ever made here.
Card {
    id: root
    property QtObject controller
    readonly property ClientsPanelModel panel: ClientsPanelModel {
        controller: root.controller
    }

    title: "Empfänger"
    systemImage: "person.2.wave.2"
    trailing: Component {
        Text {
            objectName: "clientsCount"
            text: root.panel.countText // qmllint disable unqualified
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
        }
    }

    RowLayout {
        objectName: "clientsEmpty"
        visible: root.panel.rows.length === 0
        spacing: 12
        Layout.topMargin: 6
        Layout.bottomMargin: 6

        Symbol {
            name: "iphone.and.arrow.forward"
            size: 22
            color: Theme.secondaryText
        }
        ColumnLayout {
            spacing: 2
            Text {
                text: "Noch kein Empfänger verbunden"
                font.family: Theme.fontFamily
                font.pixelSize: 12
                font.weight: Font.Medium
                color: Theme.primaryText
            }
            Text {
                text: "iPhone oder iPad im selben WLAN finden diesen Computer automatisch."
                font.family: Theme.fontFamily
                font.pixelSize: 11
                color: Theme.secondaryText
            }
        }
    }

    ColumnLayout {
        visible: root.panel.rows.length > 0
        spacing: 0
        Layout.fillWidth: true

        // By count, down to each row's pills and figures: a status that only brings new figures keeps the
        // items, since a layout would lay out items it let go of should the window's size change before the
        // next frame. When a count changes, the layout lets go of the freed items at once.
        LayoutRepeater {
            model: root.panel.rows.length

            ColumnLayout {
                id: row
                required property int index
                readonly property var modelData: root.panel.rows[row.index] // qmllint disable unqualified

                objectName: "clientRow_" + modelData.id
                spacing: 0
                Layout.fillWidth: true

                Rectangle {
                    objectName: "clientDivider"
                    visible: row.index > 0
                    color: Theme.hairline
                    Layout.fillWidth: true
                    Layout.preferredHeight: 1
                    Layout.leftMargin: 46
                }

                RowLayout {
                    spacing: 12
                    Layout.fillWidth: true
                    Layout.topMargin: 8
                    Layout.bottomMargin: 8

                    Item {
                        Layout.preferredWidth: 34
                        Layout.preferredHeight: 24
                        Symbol {
                            anchors.centerIn: parent
                            name: row.modelData.symbol
                            size: 20
                            color: row.modelData.isMediaConnected ? Theme.tint : Theme.secondaryText
                        }
                    }

                    ColumnLayout {
                        spacing: 3
                        Layout.fillWidth: true

                        RowLayout {
                            spacing: 6
                            Text {
                                objectName: "clientName"
                                text: row.modelData.name
                                textFormat: Text.PlainText
                                elide: Text.ElideRight
                                font.family: Theme.fontFamily
                                font.pixelSize: 12
                                font.weight: Font.DemiBold
                                color: Theme.primaryText
                                Layout.maximumWidth: 220
                            }
                            LayoutRepeater {
                                model: row.modelData.pills.length
                                PanelPill {
                                    id: pill
                                    required property int index
                                    readonly property var modelData: row.modelData.pills[pill.index] // qmllint disable unqualified
                                    text: modelData.text
                                    color: Theme.color(modelData.color)
                                    help: modelData.help
                                }
                            }
                        }
                        Text {
                            objectName: "clientCaption"
                            text: row.modelData.caption
                            textFormat: Text.PlainText
                            elide: Text.ElideRight
                            font.family: Theme.fontFamily
                            font.pixelSize: 11
                            color: Theme.secondaryText
                            Layout.fillWidth: true
                        }
                    }

                    RowLayout {
                        spacing: 16
                        LayoutRepeater {
                            model: row.modelData.metrics.length
                            ColumnLayout {
                                id: metric
                                required property int index
                                readonly property var modelData: row.modelData.metrics[metric.index] // qmllint disable unqualified
                                spacing: 1
                                Layout.minimumWidth: 48
                                Text {
                                    text: metric.modelData.label
                                    font.family: Theme.fontFamily
                                    font.pixelSize: 10
                                    font.weight: Font.Medium
                                    color: Theme.secondaryText
                                    Layout.alignment: Qt.AlignRight
                                }
                                RowLayout {
                                    spacing: 2
                                    Layout.alignment: Qt.AlignRight
                                    Text {
                                        text: metric.modelData.value
                                        font.family: Theme.fontFamily
                                        font.pixelSize: 13
                                        font.weight: Font.DemiBold
                                        color: metric.modelData.color.length > 0 ? Theme.color(metric.modelData.color) : Theme.primaryText
                                    }
                                    Text {
                                        visible: metric.modelData.unit.length > 0
                                        text: metric.modelData.unit
                                        font.family: Theme.fontFamily
                                        font.pixelSize: 10
                                        color: Theme.secondaryText
                                    }
                                }
                            }
                        }
                    }

                    ToolButton {
                        objectName: "disconnectButton"
                        flat: true
                        implicitWidth: 26
                        implicitHeight: 26
                        Accessible.name: "Empfänger trennen"
                        ToolTip.visible: hovered
                        ToolTip.text: "Empfänger trennen"
                        contentItem: Symbol {
                            name: "xmark.circle.fill"
                            size: 16
                            color: Qt.rgba(Theme.secondaryText.r, Theme.secondaryText.g, Theme.secondaryText.b, 0.6)
                        }
                        onClicked: root.panel.disconnectClient(row.modelData.id) // qmllint disable unqualified
                    }
                }
            }
        }
    }
}
