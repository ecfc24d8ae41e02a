pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// "Videoquelle": every source that can be chosen, the reconnect button and what the automatic choice does.
FormCard {
    id: root
    property QtObject controller

    header: "Videoquelle"

    readonly property SourceChoiceFormModel section: SourceChoiceFormModel {
        controller: root.controller
    }

    // By count: the rows are a new list on every settings or device change, and a rebuilt row would leave
    // the form's layout laying out the freed one should its size change before its next polish. When a
    // device comes or goes, the layout lets go of the freed row at once.
    LayoutRepeater {
        model: root.section.rows.length
        delegate: RadioButton {
            id: row
            required property int index
            readonly property var modelData: root.section.rows[index] ?? ({})

            objectName: "sourceRow" + index
            text: modelData.text
            checkable: false
            autoExclusive: false
            checked: index === root.section.selectedRow
            Layout.fillWidth: true
            onClicked: root.section.choose(index)

            contentItem: RowLayout {
                spacing: 6
                Item {
                    implicitWidth: row.indicator.width + row.spacing
                }
                Symbol {
                    name: row.modelData.symbol
                    color: Theme.secondaryText
                    size: 14
                }
                FormText {
                    text: row.text
                }
            }
        }
    }

    RowLayout {
        spacing: 8
        Button {
            objectName: "otherFileButton"
            text: "Andere Datei …"
            visible: root.section.showsOtherFileButton
            onClicked: root.section.chooseOtherFile()
        }
        Button {
            objectName: "reconnectButton"
            text: "Quelle neu verbinden"
            ToolTip.visible: hovered
            ToolTip.text: root.section.reconnectHelp
            ToolTip.delay: 600
            onClicked: root.section.reconnect()
        }
    }

    footer: [
        FormText {
            objectName: "automaticFooter"
            secondary: true
            text: root.section.automaticFooter
        },
        RowLayout {
            spacing: 4
            Layout.fillWidth: true
            FormText {
                objectName: "ndiFooter"
                secondary: true
                text: root.section.ndiFooter
            }
            Text {
                objectName: "ndiLink"
                visible: root.section.ndiAvailable
                text: "<a href=\"" + root.section.ndiLink + "\">" + root.section.ndiLinkHost + "</a>"
                textFormat: Text.StyledText
                font.family: Theme.fontFamily
                font.pixelSize: 11
                linkColor: Theme.tint
                onLinkActivated: link => Qt.openUrlExternally(link)
            }
        },
        FormText {
            objectName: "trademark"
            visible: root.section.ndiAvailable
            secondary: true
            font.pixelSize: 10
            text: root.section.trademark
        }
    ]
}
