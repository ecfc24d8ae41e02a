import QtQuick
import Kelvora.Developer

// "Bild": the format of the main output and, below, what is being sent right now.
FormCard {
    id: root
    property QtObject controller

    header: "Bild"

    readonly property PictureFormModel section: PictureFormModel {
        controller: root.controller
    }

    FormPicker {
        objectName: "resolutionPicker"
        label: "Auflösung"
        options: root.section.resolutionOptions
        selectedIndex: root.section.resolutionIndex
        onPicked: index => root.section.chooseResolution(index)
    }
    FormSegmented {
        objectName: "frameRatePicker"
        label: "Bildrate"
        options: root.section.frameRateOptions
        selectedIndex: root.section.frameRateIndex
        onPicked: index => root.section.chooseFrameRate(index)
    }
    FormSegmented {
        objectName: "maximumFrameRatePicker"
        label: "Höchstens senden"
        options: root.section.maximumFrameRateOptions
        selectedIndex: root.section.maximumFrameRateIndex
        help: "Obergrenze für das gesendete Bild. Die Quelle läuft weiter mit ihrer eigenen Bildrate (z. B. 50/60), gesendet wird jedes passende Bild – spart in schwachem WLAN fast die Hälfte der Daten."
        onPicked: index => root.section.chooseMaximumFrameRate(index)
    }
    FormSegmented {
        objectName: "codecPicker"
        label: "Codec"
        options: root.section.codecOptions
        selectedIndex: root.section.codecIndex
        enabled: root.section.codecEnabled
        onPicked: index => root.section.chooseCodec(index)
    }
    FormSegmented {
        objectName: "qualityPicker"
        label: "Qualität"
        options: root.section.qualityOptions
        selectedIndex: root.section.qualityIndex
        help: "Komprimiert: für WLAN, passt sich der Verbindung jedes Geräts an (bis hinunter zum kleinen Proxy-Bild). Studio: jedes Bild einzeln mit hoher Qualität, nur I-Frames, wie NDI mit voller Bandbreite – für LAN oder sehr gutes WLAN. Geräte mit schwächerer Verbindung bekommen automatisch das komprimierte Bild."
        onPicked: index => root.section.chooseQuality(index)
    }

    footer: [
        FormText {
            objectName: "formatSummary"
            secondary: true
            text: root.section.summary
        }
    ]
}
