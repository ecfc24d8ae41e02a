pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// One line per tier encoder of the main output: codec produced, size, rate, timings, bitrate, viewers.
Card {
    id: root
    property QtObject controller
    readonly property EncoderPanelModel panel: EncoderPanelModel {
        controller: root.controller
    }

    title: "Encoder"
    systemImage: "cpu"

    Text {
        objectName: "encoderWaiting"
        visible: root.panel.rows.length === 0
        text: "Encoder startet, sobald ein Videoeingang aktiv ist."
        font.family: Theme.fontFamily
        font.pixelSize: 12
        color: Theme.secondaryText
    }

    ColumnLayout {
        visible: root.panel.rows.length > 0
        spacing: 10
        Layout.fillWidth: true

        // By count: a status that only brings new figures keeps the rows, since a layout would lay out rows
        // it let go of should the window's size change before the next frame. When a tier starts or stops,
        // the layout lets go of the freed row at once.
        LayoutRepeater {
            model: root.panel.rows.length

            // What the encoder is (name, codec, size, rate) on the left, how it does (timings, rate control,
            // bitrate, viewers) at the right edge; where the card is too narrow for both side by side, the
            // second group moves under the first rather than past the card's edge.
            GridLayout {
                id: row
                required property int index
                readonly property var modelData: root.panel.rows[row.index]
                // Measured against the card's own width: a row as wide as both groups would hold itself wide.
                readonly property bool oneLine: identity.implicitWidth + row.columnSpacing + figures.implicitWidth
                                                <= root.width - 32

                objectName: "encoderRow" + index
                columnSpacing: 12
                rowSpacing: 4
                Layout.fillWidth: true

                RowLayout {
                    id: identity
                    spacing: 12
                    Layout.row: 0
                    Layout.column: 0

                    // The name keeps its column and is never cut: the two-word names of studio mode
                    // ("Studio (I-Frames)", "1080p komprimiert") take a second line instead.
                    Text {
                        objectName: "encoderTitle"
                        text: row.modelData.title
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        font.weight: Font.DemiBold
                        color: Theme.primaryText
                        wrapMode: Text.WordWrap
                        Layout.preferredWidth: 110
                        Layout.minimumWidth: 110
                    }
                    PanelPill {
                        objectName: "encoderCodec"
                        text: row.modelData.codec.text
                        color: Theme.color(row.modelData.codec.color)
                        help: row.modelData.codec.help
                    }
                    Text {
                        text: row.modelData.dimensions
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        color: Theme.primaryText
                    }
                    Text {
                        text: row.modelData.frameRate
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        color: Theme.secondaryText
                        HoverHandler {
                            id: rateHover
                        }
                        ToolTip.visible: rateHover.hovered
                        ToolTip.text: "Aktuell encodierte Bildrate – sinkt bei Engpass, damit jedes Bild scharf bleibt"
                    }
                }

                RowLayout {
                    id: figures
                    objectName: "encoderFigures"
                    spacing: 12
                    Layout.row: row.oneLine ? 0 : 1
                    Layout.column: row.oneLine ? 1 : 0
                    Layout.fillWidth: true

                    Item {
                        Layout.fillWidth: true
                    }
                    Text {
                        objectName: "encoderTiming"
                        visible: row.modelData.timing.length > 0
                        text: row.modelData.timing
                        font.family: Theme.fontFamily
                        font.pixelSize: 11
                        color: Theme.secondaryText
                        HoverHandler {
                            id: timingHover
                        }
                        ToolTip.visible: timingHover.hovered
                        ToolTip.text: row.modelData.timingHelp
                    }
                    PanelPill {
                        objectName: "encoderLowLatency"
                        visible: row.modelData.lowLatency
                        text: "Low-Latency-RC"
                        color: Theme.color("green")
                        help: "Ratensteuerung von libx264 bzw. VAAPI für geringe Latenz ist aktiv"
                    }
                    // The bitrate and the viewers keep frames of their own, as wide as their longest values
                    // in this font, so that the pills before them line up from row to row.
                    Text {
                        objectName: "encoderBitrate"
                        text: row.modelData.bitrate
                        horizontalAlignment: Text.AlignRight
                        font.family: Theme.fontFamily
                        font.pixelSize: 12
                        font.weight: Font.DemiBold
                        color: Theme.primaryText
                        Layout.preferredWidth: Math.max(implicitWidth, 80)
                    }
                    Text {
                        objectName: "encoderViewers"
                        text: row.modelData.viewers
                        horizontalAlignment: Text.AlignRight
                        font.family: Theme.fontFamily
                        font.pixelSize: 11
                        color: Theme.secondaryText
                        Layout.preferredWidth: Math.max(implicitWidth, 50)
                    }
                }
            }
        }
    }
}
