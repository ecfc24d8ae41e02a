pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Player

// The viewer's source and settings sheet: the senders found, a typed address, quality, engine, the overlay,
// the two requests to the sender, disconnecting, and the licences.
Popup {
    id: root
    required property PlayerViewModel model

    modal: true
    focus: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(parent ? parent.width - 40 : 460, 460)
    height: parent ? parent.height - 40 : 640
    padding: 0
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    background: Rectangle {
        radius: 14
        color: Theme.windowBackground
    }

    // Each opening starts anew: the list page, scrolled to its top.
    onAboutToShow: stack.pop(null, StackView.Immediate)

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Item {
            Layout.fillWidth: true
            implicitHeight: 48
            Button {
                objectName: "pickerBack"
                visible: stack.depth > 1
                anchors.left: parent.left
                anchors.leftMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                flat: true
                text: "‹ Videoquelle"
                onClicked: stack.pop()
            }
            Text {
                anchors.centerIn: parent
                text: stack.depth > 1 ? "Lizenzen" : "Videoquelle"
                font.family: Theme.fontFamily
                font.pixelSize: 15
                font.weight: Font.DemiBold
                color: Theme.primaryText
            }
            Button {
                objectName: "pickerDone"
                anchors.right: parent.right
                anchors.rightMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                flat: true
                font.weight: Font.DemiBold
                text: "Fertig"
                onClicked: root.close()
            }
        }

        StackView {
            id: stack
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            initialItem: listPage
        }
    }

    Component {
        id: licensesPage
        LicensesView {
        }
    }

    Component {
        id: listPage
        Flickable {
            id: list
            objectName: "pickerList"
            contentHeight: sections.height + 24
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
            }

            Column {
                id: sections
                x: 16
                y: 8
                width: list.width - 32
                spacing: 20

                PickerSection {
                    width: parent.width
                    header: "Sender im Netzwerk"

                    Item {
                        objectName: "pickerSearchingRow"
                        visible: !root.model.hasSenders
                        width: parent.width
                        height: visible ? searching.implicitHeight + 24 : 0
                        RowLayout {
                            id: searching
                            x: 14
                            width: parent.width - 28
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 12
                            BusyIndicator {
                                running: parent.visible
                                Layout.preferredWidth: 24
                                Layout.preferredHeight: 24
                            }
                            ColumnLayout {
                                spacing: 2
                                Layout.fillWidth: true
                                Text {
                                    text: "Suche Sender …"
                                    font.family: Theme.fontFamily
                                    font.pixelSize: 14
                                    color: Theme.primaryText
                                }
                                Text {
                                    objectName: "pickerSearchingHint"
                                    Layout.fillWidth: true
                                    text: root.model.searchingHint
                                    wrapMode: Text.Wrap
                                    font.family: Theme.fontFamily
                                    font.pixelSize: 11
                                    color: root.model.searchingHintIsWarning ? Theme.color("orange") : Theme.secondaryText
                                }
                            }
                        }
                    }
                    Repeater {
                        model: root.model.senderRows
                        delegate: SenderRow {
                            id: senderRow
                            required property var modelData
                            objectName: "senderRow"
                            width: parent ? parent.width : 0
                            name: senderRow.modelData.name
                            subtitle: senderRow.modelData.subtitle
                            sourceName: senderRow.modelData.sourceName
                            isSelected: senderRow.modelData.isSelected
                            onClicked: {
                                root.model.select(senderRow.modelData.id);
                                root.close();
                            }
                        }
                    }
                    Button {
                        objectName: "pickerDisconnect"
                        visible: root.model.hasSelection
                        x: 6
                        flat: true
                        text: "Verbindung trennen"
                        palette.buttonText: Theme.color("red")
                        onClicked: root.model.disconnectSender()
                    }
                }

                PickerSection {
                    width: parent.width
                    header: "Per IP-Adresse"
                    footer: "Die Adresse steht in der Sender-App unter „Info“. Sie wird gemerkt: Beim nächsten Start verbindet die App sofort, ohne zu suchen."

                    RowLayout {
                        x: 10
                        width: parent.width - 20
                        height: 52
                        TextField {
                            id: address
                            objectName: "pickerAddress"
                            Layout.fillWidth: true
                            placeholderText: "IP-Adresse des Senders, z. B. 192.168.1.20"
                            maximumLength: 255
                            inputMethodHints: Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText | Qt.ImhUrlCharactersOnly
                            onAccepted: list.connectTyped()
                        }
                        Button {
                            objectName: "pickerConnect"
                            text: "Verbinden"
                            enabled: root.model.canConnect(address.text)
                            onClicked: list.connectTyped()
                        }
                    }
                }

                PickerSection {
                    width: parent.width
                    header: "Übertragung"
                    footer: "Qualität: Auto wechselt je nach Verbindung zwischen vollem Bild und Proxy. Proxy spart von vornherein Bandbreite (schwaches WLAN). Engine umschalten baut die Verbindung sofort neu auf."

                    RowLayout {
                        x: 14
                        width: parent.width - 28
                        height: 48
                        Text {
                            objectName: "pickerQualityTitle"
                            text: "Qualität"
                            font.family: Theme.fontFamily
                            font.pixelSize: 14
                            color: Theme.primaryText
                            Layout.fillWidth: true
                        }
                        Row {
                            objectName: "pickerQuality"
                            Repeater {
                                model: [{
                                        "id": "automatic",
                                        "name": "Auto"
                                    }, {
                                        "id": "full",
                                        "name": "Voll"
                                    }, {
                                        "id": "proxy",
                                        "name": "Proxy"
                                    }]
                                delegate: Button {
                                    id: qualityButton
                                    required property var modelData
                                    objectName: "quality_" + qualityButton.modelData.id
                                    text: qualityButton.modelData.name
                                    checkable: true
                                    checked: root.model.quality === qualityButton.modelData.id
                                    onClicked: root.model.quality = qualityButton.modelData.id
                                }
                            }
                        }
                    }
                    Repeater {
                        model: root.model.engines
                        delegate: RadioDelegate {
                            id: engineOption
                            required property var modelData
                            objectName: "engine_" + engineOption.modelData.id
                            width: parent ? parent.width : 0
                            // The style's own padding is narrower than the rows above: text and indicator line
                            // up with the quality row's title and segments instead.
                            leftPadding: 14
                            rightPadding: 14
                            checked: root.model.engine === engineOption.modelData.id
                            onClicked: root.model.engine = engineOption.modelData.id
                            contentItem: Column {
                                spacing: 2
                                rightPadding: 40
                                Text {
                                    text: engineOption.modelData.name
                                    font.family: Theme.fontFamily
                                    font.pixelSize: 14
                                    color: Theme.primaryText
                                }
                                Text {
                                    width: parent.width - 40
                                    text: engineOption.modelData.summary
                                    wrapMode: Text.Wrap
                                    font.family: Theme.fontFamily
                                    font.pixelSize: 11
                                    color: Theme.secondaryText
                                }
                            }
                        }
                    }
                }

                PickerSection {
                    width: parent.width
                    header: "Anzeige"
                    footer: "Hilft, wenn eine Capture-Karte oder ein ATEM per USB nur Schwarz oder ein Standbild liefert."

                    SwitchDelegate {
                        objectName: "pickerOverlay"
                        width: parent.width
                        text: "Debug-Overlay"
                        icon.source: "image://symbol/gauge.with.dots.needle.33percent/" + Theme.primaryText.toString().substring(1)
                        checked: root.model.showsDebugOverlay
                        onToggled: root.model.showsDebugOverlay = checked
                    }
                    ItemDelegate {
                        objectName: "pickerKeyframe"
                        width: parent.width
                        text: "Keyframe anfordern"
                        icon.source: "image://symbol/arrow.clockwise/" + Theme.tint.toString().substring(1)
                        enabled: root.model.isPlaying
                        onClicked: root.model.requestKeyframe()
                    }
                    ItemDelegate {
                        objectName: "pickerSourceRestart"
                        width: parent.width
                        text: "Quelle am Sender neu verbinden"
                        icon.source: "image://symbol/cable.connector.horizontal/" + Theme.tint.toString().substring(1)
                        enabled: root.model.hasSelection
                        onClicked: root.model.requestSourceRestart()
                    }
                }

                PickerSection {
                    width: parent.width

                    ItemDelegate {
                        objectName: "pickerLicenses"
                        width: parent.width
                        text: "Lizenzen"
                        icon.source: "image://symbol/doc.text/" + Theme.tint.toString().substring(1)
                        onClicked: stack.push(licensesPage)
                    }
                }
            }

            // The sheet is made once but opens as new: the address field starts empty and the list at its top.
            Connections {
                target: root
                function onAboutToShow() {
                    address.clear();
                    list.contentY = list.originY;
                }
            }

            function connectTyped() {
                if (root.model.connectTyped(address.text))
                    root.close();
            }
        }
    }
}
