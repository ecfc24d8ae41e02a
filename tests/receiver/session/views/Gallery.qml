import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// The shared widgets side by side, for the smoke test and its screenshot.
Rectangle {
    id: gallery
    property bool laterPulsing: false
    property alias video: video

    width: 720
    height: 520
    color: Theme.windowBackground

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 12

        RowLayout {
            spacing: 12
            Layout.fillWidth: true

            Card {
                objectName: "titledCard"
                title: "Stufen vergleichen"
                systemImage: "rectangle.split.2x1"
                trailing: Component {
                    Pill {
                        text: "HEVC"
                        color: Theme.color("purple")
                    }
                }
                Text {
                    text: "Inhalt der Karte"
                    color: Theme.primaryText
                }
            }
            Card {
                objectName: "untitledCard"
                systemImage: "cpu"
                trailing: Component {
                    Pill {
                        text: "nie sichtbar"
                    }
                }
                Text {
                    text: "Karte ohne Titel"
                    color: Theme.primaryText
                }
            }
        }

        RowLayout {
            spacing: 12
            Layout.fillWidth: true

            MetricTile {
                objectName: "bitrateTile"
                title: "Bitrate"
                value: "8.5"
                unit: "Mbit/s"
                systemImage: "speedometer"
                tint: Theme.color("purple")
            }
            MetricTile {
                objectName: "unitlessTile"
                title: "Zuschauer"
                value: "3"
                systemImage: "person.2.wave.2"
                tint: Theme.color("blue")
            }
            MetricTile {
                objectName: "longTile"
                title: "Latenz"
                value: "12345678901234567890"
                unit: "ms"
                systemImage: "timer"
                tint: Theme.color("orange")
                Layout.maximumWidth: 180
            }
        }

        RowLayout {
            spacing: 12

            StatusBadge {
                objectName: "liveBadge"
                title: "LIVE"
                color: Theme.liveRed
                pulsing: true
            }
            StatusBadge {
                objectName: "laterBadge"
                title: "STARTET"
                color: Theme.color("orange")
                pulsing: gallery.laterPulsing
            }
            Pill {
                objectName: "orangePill"
                text: "TCP"
                color: Theme.color("orange")
            }
            Pill {
                objectName: "emptyPill"
                text: ""
                color: Theme.color("green")
            }
            LiveClock {
                objectName: "clock"
                size: 13
            }
            Symbol {
                objectName: "unknownSymbol"
                name: "no.such.symbol"
                color: Theme.color("red")
                size: 20
            }
        }

        VideoView {
            id: video
            objectName: "video"
            radius: 10
            Layout.preferredWidth: 320
            Layout.preferredHeight: 180
        }
    }
}
