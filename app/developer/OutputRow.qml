import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// One extra output: its preview, name, source, format and status, with reconnect and remove.
RowLayout {
    id: root
    required property OutputRowModel row

    objectName: "outputRow" + row.number
    spacing: 12

    Rectangle {
        color: "black"
        radius: 8
        Layout.preferredWidth: 160
        Layout.preferredHeight: 90
        Layout.alignment: Qt.AlignTop

        VideoView {
            anchors.fill: parent
            feed: root.row.feed
            radius: 8
        }
    }

    ColumnLayout {
        spacing: 6
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignTop

        RowLayout {
            spacing: 8
            Layout.fillWidth: true

            Text {
                text: root.row.number
                font.family: Theme.monospaceFontFamily
                font.pixelSize: 13
                font.bold: true
                color: Theme.secondaryText
            }
            TextField {
                objectName: "outputName"
                placeholderText: "Name im Netzwerk"
                text: nameEdit.text
                Layout.fillWidth: true
                Layout.maximumWidth: 220
                // Return and leaving the field both commit what was typed; the controller ignores an unchanged
                // name. The field then shows the stored name again, also where the controller kept the old one
                // (an empty name).
                NameEdit {
                    id: nameEdit
                    stored: root.row.name
                    onCommitted: name => {
                        root.row.commitName(name)
                        nameEdit.load()
                    }
                }
                onTextEdited: nameEdit.text = text
                onAccepted: nameEdit.commit()
                onActiveFocusChanged: nameEdit.focused = activeFocus
            }
            Item {
                Layout.fillWidth: true
            }
            ToolButton {
                objectName: "reconnectButton"
                icon.source: "image://symbol/arrow.clockwise/" + Theme.primaryText.toString().substring(1)
                ToolTip.visible: hovered
                ToolTip.text: "Quelle neu verbinden"
                onClicked: root.row.reconnect()
            }
            ToolButton {
                objectName: "removeButton"
                icon.source: "image://symbol/trash/" + Theme.color("red").toString().substring(1)
                ToolTip.visible: hovered
                ToolTip.text: "Ausgang entfernen"
                onClicked: root.row.remove()
            }
        }

        RowLayout {
            spacing: 8
            Label {
                text: "Quelle"
            }
            ComboBox {
                objectName: "sourcePicker"
                model: root.row.sourceLabels
                currentIndex: root.row.sourceIndex
                Layout.fillWidth: true
                Layout.maximumWidth: 360
                // The row shows what the controller stored, not what was clicked.
                onActivated: index => {
                    root.row.chooseSource(index)
                    currentIndex = Qt.binding(() => root.row.sourceIndex)
                }
            }
        }

        RowLayout {
            spacing: 8
            Label {
                text: "Auflösung"
            }
            ComboBox {
                objectName: "resolutionPicker"
                model: root.row.resolutionLabels
                currentIndex: root.row.resolutionIndex
                Layout.maximumWidth: 200
                onActivated: index => {
                    root.row.chooseResolution(index)
                    currentIndex = Qt.binding(() => root.row.resolutionIndex)
                }
            }
            Label {
                text: "Bildrate"
            }
            ComboBox {
                objectName: "frameRatePicker"
                model: root.row.frameRateLabels
                currentIndex: root.row.frameRateIndex
                Layout.maximumWidth: 160
                onActivated: index => {
                    root.row.chooseFrameRate(index)
                    currentIndex = Qt.binding(() => root.row.frameRateIndex)
                }
            }
        }

        Text {
            objectName: "outputStatus"
            text: root.row.statusLine
            font.family: Theme.monospaceFontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
    }
}
