import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// "Allgemein": the network name, automatic sending and the start at login.
FormCard {
    id: root
    property QtObject controller

    header: "Allgemein"

    readonly property GeneralFormModel section: GeneralFormModel {
        controller: root.controller
    }

    NetworkNameField {
        controller: root.controller
    }
    FormToggle {
        objectName: "autoStartToggle"
        label: "Automatisch senden, sobald ein Eingang erkannt wird"
        checked: root.section.autoStart
        onToggled: on => root.section.autoStart = on
    }
    FormToggle {
        objectName: "launchAtLoginToggle"
        label: "Beim Anmelden starten"
        checked: root.section.launchAtLogin
        onToggled: on => root.section.launchAtLogin = on
    }
    RowLayout {
        objectName: "approvalHint"
        visible: root.section.needsApproval
        Layout.fillWidth: true
        Symbol {
            name: "exclamationmark.triangle.fill"
            color: Theme.color("orange")
            size: 14
        }
        FormText {
            secondary: true
            text: "Muss in den Systemeinstellungen erlaubt werden."
        }
        Button {
            objectName: "approvalButton"
            text: "Öffnen"
            font.pixelSize: 11
            onClicked: root.section.openLoginItemSettings()
        }
    }
}
