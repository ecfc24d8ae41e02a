import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// Which tiers the main output encodes, the proxy's and the main stream's bitrates, and three adaptation
// options; every control writes one field of the settings.
// The exemptions from the linter's unqualified check mark delegates and inline components that reach this
// file's root; Qt 6.4 cannot be told that they are only ever made here.
Card {
    id: root
    property QtObject controller
    readonly property StreamTiersPanelModel panel: StreamTiersPanelModel {
        controller: root.controller
    }

    title: "Stufen"
    systemImage: "square.3.layers.3d"

    RowLayout {
        spacing: 20
        Layout.fillWidth: true

        Repeater {
            model: 3
            PanelSwitch {
                required property int index
                readonly property var switchData: root.panel.switches[index] ?? ({}) // qmllint disable unqualified

                objectName: "tierSwitch" + index
                title: switchData.title ?? ""
                subtitle: switchData.viewers ?? ""
                help: switchData.help ?? ""
                on: switchData.on ?? false
                enabled: switchData.enabled ?? false
                onFlipped: value => root.panel.setTierOn(index, value)
                Layout.fillWidth: false
            }
        }
        Item {
            Layout.fillWidth: true
        }
    }

    RowLayout {
        objectName: "proxyBitrateRow"
        enabled: root.panel.proxyBitrateEnabled
        spacing: 10
        Layout.fillWidth: true

        Text {
            text: "Proxy-Bitrate"
            font.family: Theme.fontFamily
            font.pixelSize: 12
            color: parent.enabled ? Theme.primaryText : Theme.secondaryText
        }
        Slider {
            objectName: "proxyBitrateSlider"
            from: 300
            to: 3000
            stepSize: 100
            snapMode: Slider.SnapAlways
            value: root.panel.proxyBitrateKbps
            Layout.fillWidth: true
            ToolTip.visible: hovered
            ToolTip.text: "Höchstbitrate des Proxys, wenn ein Gerät ihn anzeigt (Standard 0,8 Mbit/s). Schafft die Verbindung des Geräts weniger, sendet er weniger."
            onMoved: root.panel.proxyBitrateKbps = Math.floor(value)
        }
        Text {
            objectName: "proxyBitrateText"
            text: root.panel.proxyBitrateText
            horizontalAlignment: Text.AlignRight
            font.family: Theme.fontFamily
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: parent.enabled ? Theme.primaryText : Theme.secondaryText
            Layout.preferredWidth: 90
        }
    }

    RowLayout {
        spacing: 10
        Layout.fillWidth: true

        Text {
            text: "Mindestbitrate Haupt"
            font.family: Theme.fontFamily
            font.pixelSize: 12
            color: Theme.primaryText
        }
        Slider {
            objectName: "mainMinimumSlider"
            from: 500
            to: 40000
            stepSize: 500
            snapMode: Slider.SnapAlways
            value: root.panel.mainMinimumBitrateKbps
            Layout.fillWidth: true
            ToolTip.visible: hovered
            ToolTip.text: "Die automatische Anpassung senkt die Bitrate des Hauptstreams nicht darunter – höchstens bis zur eingestellten Höchstbitrate. Reicht die Verbindung eines Geräts nicht, wechselt es auf Zwischenstufe bzw. Proxy. Zu hoch eingestellt: mehr Verzögerung und Ruckler in schwachem WLAN."
            onMoved: root.panel.mainMinimumBitrateKbps = Math.floor(value)
        }
        Text {
            objectName: "mainMinimumText"
            text: root.panel.mainMinimumBitrateText
            horizontalAlignment: Text.AlignRight
            font.family: Theme.fontFamily
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: Theme.primaryText
            Layout.preferredWidth: 90
        }
    }

    PanelSwitch {
        objectName: "tolerantAdaptationSwitch"
        title: "WLAN-tolerant"
        subtitle: "Anpassung reagiert nicht auf normale WLAN-Schwankungen, nur auf deutliche Engpässe"
        help: "An: Latenzspitzen bis 80 ms (statt 25 ms), einzelne verspätete Bilder und langsame Einzelmessungen senken die Bitrate nicht. Gesenkt wird seltener und sanfter (−15 % statt −25 %), danach geht es schneller wieder hoch. Aus: Anpassung wie bisher – sehr vorsichtig, für geringste Latenz."
        on: root.panel.tolerantAdaptation
        onFlipped: value => root.panel.tolerantAdaptation = value
        Layout.fillWidth: true
    }
    PanelSwitch {
        objectName: "fullBitrateSwitch"
        title: "Volle Bitrate (Hauptstream)"
        subtitle: "Erreicht die eingestellte Bitrate – Low-Latency-Modus deckelt bei 1080p60 bei ca. 11 Mbit/s"
        help: "An: normale Ratensteuerung des Encoders – liefert die eingestellte Bitrate (gemessen: 20 Mbit/s eingestellt → 20 Mbit/s gesendet, Latenz unverändert). Dafür ohne „kleiner Refresh nach Verlust“ und ohne „Bildrate halbieren bei Stau“. Aus: Low-Latency-Ratensteuerung von libx264 bzw. VAAPI – robuster in schwachem WLAN, aber bei 1080p60 höchstens ca. 11 Mbit/s, egal was eingestellt ist. Studio-Modus nutzt immer die volle Bitrate."
        on: root.panel.fullBitrateEncoder
        onFlipped: value => root.panel.fullBitrateEncoder = value
        Layout.fillWidth: true
    }
    PanelSwitch {
        objectName: "remoteTuningSwitch"
        title: "Fernsteuerung durch Empfänger"
        subtitle: "Empfänger im Entwicklermodus dürfen diese Werte ändern"
        help: "An: Die Empfänger-App (Einstellungen → Entwicklermodus → Stream-Feinsteuerung) kann Stufen, Bitraten, Bildrate und Anpassung dieses Senders ändern. Aus: Empfänger sehen die Werte nur."
        on: root.panel.remoteTuningAllowed
        onFlipped: value => root.panel.remoteTuningAllowed = value
        Layout.fillWidth: true
    }

    Text {
        objectName: "adaptiveNote"
        visible: root.panel.showsAdaptiveNote
        text: "Adaptive Bitrate ist aus: Alle Empfänger bekommen den Hauptstream. Die Bitrate folgt weiter der Verbindung – Mindestbitrate und WLAN-tolerant wirken auch hier."
        wrapMode: Text.WordWrap
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: Theme.secondaryText
        Layout.fillWidth: true
    }
}
