import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The sender's outputs: the main output's line, one row per extra output, and the add button.
Card {
    id: root
    property SenderController controller

    title: "Ausgänge"
    systemImage: "rectangle.stack"
    trailing: addButton

    Component {
        id: addButton
        Button {
            objectName: "addOutputButton"
            text: "Ausgang hinzufügen"
            icon.source: "image://symbol/plus/" + Theme.primaryText.toString().substring(1)
            icon.width: 12
            icon.height: 12
            font.pixelSize: 11
            // The linter of Qt 6.4 does not see the document's ids inside a Component.
            enabled: outputs.canAddOutput // qmllint disable unqualified
            onClicked: outputs.addOutput() // qmllint disable unqualified
        }
    }

    OutputsPanelModel {
        id: outputs
        controller: root.controller
    }

    ColumnLayout {
        spacing: 10
        Layout.fillWidth: true

        RowLayout {
            spacing: 8
            Text {
                text: "1"
                font.family: Theme.monospaceFontFamily
                font.pixelSize: 13
                font.bold: true
                color: Theme.secondaryText
            }
            Text {
                objectName: "mainOutputName"
                text: outputs.displayName
                font.family: Theme.fontFamily
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Theme.primaryText
            }
            Text {
                text: "· Hauptausgang (Vorschau oben, Einstellungen rechts)"
                font.family: Theme.fontFamily
                font.pixelSize: 11
                color: Theme.secondaryText
            }
        }

        // The rows stand in a positioner, not in the layout itself: a layout holds a removed row until it is
        // next polished and lays out the freed row should its width change first, as it does when the
        // simple view narrows the window after its last extra output went.
        Column {
            objectName: "outputRows"
            visible: !outputs.showsHint
            spacing: 10
            Layout.fillWidth: true

            Repeater {
                model: outputs
                delegate: ColumnLayout {
                    id: entry
                    required property OutputRowModel row
                    width: parent ? parent.width : 0
                    spacing: 10

                    Rectangle {
                        implicitHeight: 1
                        color: Theme.hairline
                        Layout.fillWidth: true
                    }
                    OutputRow {
                        row: entry.row
                        Layout.fillWidth: true
                    }
                }
            }
        }

        Text {
            objectName: "outputsHint"
            visible: outputs.showsHint
            text: "Weitere Quellen (z. B. NDI®, zweite Capture-Karte) lassen sich als eigene Streams mit eigenem Namen senden. Auf iPhone/iPad erscheint jeder Ausgang als eigener Sender."
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
            Layout.fillWidth: true
        }
    }
}
