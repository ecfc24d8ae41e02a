import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// Every viewer of every output, or an invitation to open the viewer while there is none.
Card {
    id: root
    property ReceiversCardModel receivers

    objectName: "receiversCard"
    title: "Verbundene Geräte"
    systemImage: "iphone.gen3.radiowaves.left.and.right"

    // The card's header accessory, laid over the header's right end: a trailing component of the card
    // could not see this card's model.
    Text {
        objectName: "receiversCount"
        parent: root
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.rightMargin: 16
        anchors.topMargin: 16
        text: root.receivers ? root.receivers.countText : ""
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: Theme.secondaryText
    }

    RowLayout {
        objectName: "receiversEmpty"
        visible: !root.receivers || root.receivers.count === 0
        spacing: 10
        Symbol {
            name: "iphone.and.arrow.forward"
            color: Theme.secondaryText
            size: 18
        }
        ColumnLayout {
            spacing: 3
            Layout.fillWidth: true
            Text {
                text: "Noch kein Gerät verbunden"
                font.family: Theme.fontFamily
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Theme.primaryText
            }
            Text {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Tilvara auf iPhone oder iPad im selben WLAN öffnen – dieser Computer erscheint dort automatisch."
                font.family: Theme.fontFamily
                font.pixelSize: 11
                color: Theme.secondaryText
            }
        }
    }

    ColumnLayout {
        visible: root.receivers !== null && root.receivers.count > 0
        spacing: 0
        Layout.fillWidth: true

        // A layout holds the rows it let go of until its next polish and lays them out, freed, should the
        // window's size change first. So the rows go by count, and new figures or another viewer in a row's
        // place keep them; when the count changes, the layout lets go of the freed rows at once.
        LayoutRepeater {
            model: root.receivers ? root.receivers.rows.length : 0

            delegate: ColumnLayout {
                id: row
                required property int index
                readonly property var modelData: root.receivers.rows[row.index] ?? ({}) // qmllint disable unqualified
                readonly property string name: modelData.name ?? ""
                readonly property string symbol: modelData.symbol ?? ""
                readonly property string detail: modelData.detail ?? ""
                readonly property string quality: modelData.quality ?? ""
                readonly property string qualityColor: modelData.qualityColor ?? ""
                readonly property string latency: modelData.latency ?? ""
                readonly property string latencyColor: modelData.latencyColor ?? ""

                objectName: "receiverRow" + index
                spacing: 0
                Layout.fillWidth: true

                Rectangle {
                    visible: row.index > 0
                    Layout.fillWidth: true
                    Layout.leftMargin: 36
                    implicitHeight: 1
                    color: Theme.hairline
                }
                RowLayout {
                    spacing: 12
                    Layout.fillWidth: true
                    Layout.topMargin: 5
                    Layout.bottomMargin: 5

                    Item {
                        implicitWidth: 24
                        implicitHeight: 16
                        Symbol {
                            anchors.centerIn: parent
                            name: row.symbol
                            color: Theme.tint
                            size: 16
                        }
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Text {
                            objectName: "receiverName"
                            Layout.fillWidth: true
                            elide: Text.ElideRight
                            text: row.name
                            textFormat: Text.PlainText
                            font.family: Theme.fontFamily
                            font.pixelSize: 13
                            font.weight: Font.DemiBold
                            color: Theme.primaryText
                        }
                        Text {
                            objectName: "receiverDetail"
                            Layout.fillWidth: true
                            elide: Text.ElideRight
                            text: row.detail
                            textFormat: Text.PlainText
                            font.family: Theme.fontFamily
                            font.pixelSize: 11
                            color: Theme.secondaryText
                        }
                    }
                    Pill {
                        objectName: "receiverQuality"
                        text: row.quality
                        color: Theme.color(row.qualityColor)
                        ToolTip.visible: qualityHover.hovered
                        ToolTip.text: "Die Bildqualität passt sich automatisch an das WLAN jedes Geräts an."
                        HoverHandler {
                            id: qualityHover
                        }
                    }
                    Item {
                        implicitWidth: 70
                        implicitHeight: latencyRow.implicitHeight
                        ToolTip.visible: latencyHover.hovered
                        ToolTip.text: "Verzögerung vom Bildeingang bis zum Gerät"
                        HoverHandler {
                            id: latencyHover
                        }
                        Row {
                            id: latencyRow
                            anchors.right: parent.right
                            spacing: 5
                            Rectangle {
                                anchors.verticalCenter: parent.verticalCenter
                                width: 7
                                height: 7
                                radius: 3.5
                                color: Theme.color(row.latencyColor)
                            }
                            Text {
                                objectName: "receiverLatency"
                                text: row.latency
                                font.family: Theme.monospaceFontFamily
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
