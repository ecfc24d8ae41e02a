import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// Every running tier decoded here side by side, while the card's switch is on.
// The exemptions from the linter's unqualified check mark delegates and inline components that reach this
// file's root; Qt 6.4 cannot be told that they are only ever made here.
Card {
    id: root
    property QtObject controller
    readonly property TierComparisonPanelModel panel: TierComparisonPanelModel {
        controller: root.controller
    }

    title: "Stufen vergleichen"
    systemImage: "rectangle.split.2x1"
    trailing: Component {
        Switch {
            objectName: "tierComparisonSwitch"
            checkable: false
            checked: root.panel.on // qmllint disable unqualified
            onClicked: root.panel.on = !root.panel.on // qmllint disable unqualified
            Accessible.name: "Stufen vergleichen"
            ToolTip.visible: hovered
            ToolTip.text: "Dekodiert alle Stufen hier auf dem Computer und zeigt sie nebeneinander (kostet etwas Energie)"
        }
    }

    Text {
        objectName: "tierComparisonOffText"
        visible: !root.panel.on
        text: "Zeigt Hauptstream und Proxy nebeneinander, jeweils encodiert und wieder dekodiert, mit Codec und Zeiten."
        wrapMode: Text.WordWrap
        font.family: Theme.fontFamily
        font.pixelSize: 12
        color: Theme.secondaryText
        Layout.fillWidth: true
    }

    RowLayout {
        objectName: "tierTiles"
        visible: root.panel.on
        spacing: 12
        Layout.fillWidth: true

        LayoutRepeater {
            // By count, so that new figures change a tile's texts without rebuilding its video view; when a
            // tier starts or stops, the row lets go of the freed tile at once rather than at its next polish.
            model: root.panel.tiles.length

            ColumnLayout {
                id: tile
                required property int index
                readonly property var tileData: root.panel.tiles[index] ?? ({}) // qmllint disable unqualified

                objectName: "tierTile" + index
                spacing: 6
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                Layout.alignment: Qt.AlignTop

                Rectangle {
                    color: "black"
                    radius: 10
                    Layout.fillWidth: true
                    Layout.preferredHeight: width * 9 / 16

                    VideoView {
                        objectName: "tierVideo"
                        anchors.fill: parent
                        radius: 10
                        visible: feed !== null
                        feed: tile.tileData.feed ?? null
                    }
                }

                RowLayout {
                    spacing: 6
                    Layout.fillWidth: true

                    Text {
                        objectName: "tierTitle"
                        text: tile.tileData.title ?? ""
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        font.weight: Font.DemiBold
                        color: Theme.primaryText
                    }
                    PanelPill {
                        objectName: "tierCodec"
                        visible: tile.tileData.hasFigures ?? false
                        text: tile.tileData.codec ?? ""
                        color: Theme.color("purple")
                    }
                    Text {
                        objectName: "tierFormat"
                        visible: tile.tileData.hasFigures ?? false
                        text: tile.tileData.format ?? ""
                        font.family: Theme.fontFamily
                        font.pixelSize: 11
                        color: Theme.secondaryText
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                }

                Text {
                    objectName: "tierTiming"
                    text: tile.tileData.timing ?? ""
                    font.family: Theme.fontFamily
                    font.pixelSize: 11
                    color: Theme.secondaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
        }
    }

    Text {
        visible: root.panel.on
        text: "Enc = Kamera/Quelle → encodiert. Bild = Kamera/Quelle → dekodiert (wie ein Empfänger ohne Netz). Erste Bilder nach dem Einschalten kommen mit dem nächsten Keyframe."
        wrapMode: Text.WordWrap
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: Theme.secondaryText
        Layout.fillWidth: true
    }
}
