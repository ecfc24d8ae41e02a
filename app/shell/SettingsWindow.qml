import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer
import Kelvora.Shell

// The settings window: network name, login item, automatic sending, picture quality, and facts about this
// computer and the program.
Window {
    id: window
    required property MainWindowModel model
    required property SettingsWindowModel settings

    objectName: "settingsWindow"
    title: "Einstellungen"
    width: 460
    minimumWidth: 460
    maximumWidth: 460
    color: Theme.windowBackground

    WindowHeight {
        window: window
        contentHeight: form.implicitHeight + 32
    }

    component SectionHeader: Text {
        font.family: Theme.fontFamily
        font.pixelSize: 12
        font.weight: Font.DemiBold
        color: Theme.secondaryText
        topPadding: 8
    }

    ColumnLayout {
        id: form
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        SectionHeader {
            text: "Allgemein"
        }
        RowLayout {
            Layout.fillWidth: true
            Label {
                text: "Name im Netzwerk"
            }
            TextField {
                id: nameField
                objectName: "nameField"
                Layout.fillWidth: true
                placeholderText: window.settings.namePlaceholder
                text: nameEdit.text
                // Shows the stored name, also one given elsewhere while the window is open, until the user
                // types; only typing is ever handed on.
                NameEdit {
                    id: nameEdit
                    stored: window.settings.storedName
                    onCommitted: name => window.settings.commitName(name)
                }
                onTextEdited: nameEdit.text = text
                onAccepted: nameEdit.commit()
                onActiveFocusChanged: nameEdit.focused = activeFocus
            }
        }
        Switch {
            objectName: "launchAtLoginSwitch"
            text: "Beim Anmelden starten"
            checked: window.settings.launchAtLogin
            onToggled: window.settings.setLaunchAtLogin(checked)
        }
        RowLayout {
            objectName: "approvalRow"
            Layout.fillWidth: true
            visible: window.settings.loginItemNeedsApproval
            Symbol {
                name: "exclamationmark.triangle.fill"
                color: Theme.color("orange")
            }
            Text {
                Layout.fillWidth: true
                text: "Muss in den Systemeinstellungen erlaubt werden."
                font.family: Theme.fontFamily
                font.pixelSize: 11
                color: Theme.primaryText
                wrapMode: Text.WordWrap
            }
        }
        Switch {
            objectName: "autoStartSwitch"
            text: "Automatisch senden, sobald eine Quelle erkannt wird"
            checked: window.settings.autoStart
            onToggled: window.settings.autoStart = checked
        }

        SectionHeader {
            text: "Bild"
        }
        RowLayout {
            Layout.fillWidth: true
            Label {
                text: "Bildqualität"
            }
            Item {
                Layout.fillWidth: true
            }
            SegmentedControl {
                objectName: "qualityControl"
                options: ["WLAN", "Studio (LAN)"]
                selectedIndex: window.settings.studioMode ? 1 : 0
                onPicked: index => window.settings.studioMode = index === 1
            }
        }
        Text {
            objectName: "qualityFooter"
            Layout.fillWidth: true
            text: window.settings.studioFooter
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
        }

        SectionHeader {
            text: "Info"
        }
        RowLayout {
            Layout.fillWidth: true
            Label {
                Layout.alignment: Qt.AlignTop
                text: "IP-Adresse"
            }
            Item {
                Layout.fillWidth: true
            }
            Column {
                objectName: "addressList"
                spacing: 2
                Repeater {
                    model: window.settings.addresses()
                    TextEdit {
                        required property string modelData
                        anchors.right: parent.right
                        text: modelData
                        textFormat: TextEdit.PlainText
                        readOnly: true
                        selectByMouse: true
                        font.family: Theme.monospaceFontFamily
                        font.pixelSize: 12
                        color: Theme.primaryText
                    }
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Label {
                text: "Version"
            }
            Item {
                Layout.fillWidth: true
            }
            Label {
                objectName: "versionText"
                text: window.settings.versionText
            }
        }
        RowLayout {
            Button {
                objectName: "showIntroductionButton"
                flat: true
                text: "Einführung anzeigen"
                onClicked: window.model.showIntroduction()
            }
            Button {
                objectName: "licensesButton"
                flat: true
                text: "Lizenzen …"
                onClicked: window.model.openLicenses()
            }
        }
    }
}
