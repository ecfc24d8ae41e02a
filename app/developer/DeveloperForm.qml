pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// "Entwickler": how the main output encodes and transports, and how to leave developer mode.
FormCard {
    id: root
    property QtObject controller

    header: "Entwickler"

    readonly property DeveloperFormModel section: DeveloperFormModel {
        controller: root.controller
    }

    FormToggle {
        objectName: "automaticBitrateToggle"
        label: "Bitrate automatisch"
        checked: root.section.automaticBitrate
        help: "Aus Auflösung und Bildrate (1080p60: 20 Mbit/s, Studio: das Vierfache)."
        onToggled: on => root.section.automaticBitrate = on
    }
    FormSegmented {
        objectName: "studioBitratePicker"
        visible: root.section.showsStudioBitrate
        label: "Studio-Bitrate"
        options: root.section.studioBitrateOptions
        selectedIndex: root.section.studioBitrateIndex
        onPicked: index => root.section.chooseStudioBitrate(index)
    }
    Stepper {
        objectName: "bitrateStepper"
        visible: root.section.showsBitrateStepper
        text: root.section.bitrateLabel
        value: root.section.bitrateKbps
        from: root.section.bitrateMinimumKbps
        to: root.section.bitrateMaximumKbps
        stepSize: root.section.bitrateStepKbps
        onStepped: kbps => root.section.chooseBitrate(kbps)
    }
    FormToggle {
        objectName: "adaptiveBitrateToggle"
        label: "Adaptive Bitrate"
        checked: root.section.adaptiveBitrate
        onToggled: on => root.section.adaptiveBitrate = on
    }
    FormToggle {
        objectName: "adaptFrameRateFirstToggle"
        label: "Bei Engpass Bildrate senken statt Qualität"
        checked: root.section.adaptFrameRateFirst
        enabled: root.section.adaptFrameRateFirstEnabled
        help: "Reicht die Bandbreite nicht, werden weniger Bilder pro Sekunde gesendet – jedes Bild bleibt scharf (wie NDI). Ausgeschaltet: volle Bildrate, dafür niedrigere Bitrate und unschärferes Bild."
        onToggled: on => root.section.adaptFrameRateFirst = on
    }
    FormToggle {
        objectName: "hotStandbyProxyToggle"
        label: "Proxy ständig mitsenden (sofort umschalten)"
        checked: root.section.hotStandbyProxy
        enabled: root.section.hotStandbyProxyEnabled
        help: "Der Proxy läuft für jedes Gerät unsichtbar mit (ca. 0,5 Mbit/s). Stockt der Hauptstream, zeigt das Gerät sofort das Proxy-Bild und kehrt zurück, sobald der Hauptstream wieder läuft."
        onToggled: on => root.section.hotStandbyProxy = on
    }
    FormToggle {
        objectName: "temporalLayeringToggle"
        label: "Bei Stau Bildrate halbieren statt einfrieren"
        checked: root.section.temporalLayering
        help: "Jeder zweite Frame kann weggelassen werden. Bei schlechtem WLAN läuft das Bild kurz mit halber Bildrate weiter, statt zu stocken."
        onToggled: on => root.section.temporalLayering = on
    }
    FormToggle {
        objectName: "longTermReferencesToggle"
        label: "Nach Verlust kleiner Refresh statt Keyframe"
        checked: root.section.longTermReferences
        help: "Long-Term-Reference-Frames: kürzere Standbilder, keine Datenstöße."
        onToggled: on => root.section.longTermReferences = on
    }
    FormSegmented {
        objectName: "keyframeIntervalPicker"
        label: "Keyframe-Abstand"
        options: root.section.keyframeIntervalOptions
        selectedIndex: root.section.keyframeIntervalIndex
        onPicked: index => root.section.chooseKeyframeInterval(index)
    }

    // By count: the engines are a new list on every status change, and a rebuilt row would leave the form's
    // layout laying out the freed one should its size change before its next polish. When their number
    // changes, the layout lets go of the freed row at once.
    LayoutRepeater {
        model: root.section.engines.length
        delegate: RowLayout {
            id: engine
            required property int index
            readonly property var modelData: root.section.engines[index] ?? ({})

            objectName: "engineRow" + index
            Layout.fillWidth: true
            spacing: 8

            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                RowLayout {
                    spacing: 6
                    FormText {
                        objectName: "engineTitle"
                        text: engine.modelData.title
                        Layout.fillWidth: false
                    }
                    Pill {
                        objectName: "engineViewers"
                        visible: engine.modelData.clientCount > 0
                        text: String(engine.modelData.clientCount)
                        color: Theme.color("green")
                    }
                }
                FormText {
                    objectName: "engineDetail"
                    secondary: true
                    text: engine.modelData.detail
                }
            }
            Switch {
                objectName: "engineSwitch"
                checked: engine.modelData.isOn
                enabled: engine.modelData.isSwitchable
                onToggled: {
                    root.section.setEngine(engine.index, checked);
                    checked = Qt.binding(() => engine.modelData.isOn);
                }
            }
        }
    }

    footer: [
        FormText {
            objectName: "developerFooter"
            secondary: true
            text: "Entwicklermodus aus: Ctrl+Alt+D oder im Menü „Tilvara Sender“."
        }
    ]
}
