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

        Repeater {
            model: root.panel.rows

            RowLayout {
                id: row
                required property int index
                required property var modelData

                objectName: "encoderRow" + index
                spacing: 12
                Layout.fillWidth: true

                Text {
                    objectName: "encoderTitle"
                    text: row.modelData.title
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                    color: Theme.primaryText
                    elide: Text.ElideRight
                    Layout.preferredWidth: 115
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
                Text {
                    objectName: "encoderBitrate"
                    text: row.modelData.bitrate
                    horizontalAlignment: Text.AlignRight
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    font.weight: Font.DemiBold
                    color: Theme.primaryText
                    Layout.preferredWidth: 110
                }
                Text {
                    text: row.modelData.viewers
                    horizontalAlignment: Text.AlignRight
                    font.family: Theme.fontFamily
                    font.pixelSize: 11
                    color: Theme.secondaryText
                    Layout.preferredWidth: 60
                }
            }
        }
    }
}
