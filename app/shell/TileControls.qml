import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// The block under a tile's picture: source menu with the sent format, the format pickers and the
// buttons to pause, reconnect, rename and (extra outputs only) remove. No control takes the focus.
ColumnLayout {
    id: root
    property SourceTileModel tile

    anchors.left: parent ? parent.left : undefined
    anchors.right: parent ? parent.right : undefined
    spacing: 6

    RowLayout {
        spacing: 8
        Layout.fillWidth: true

        SourceMenu {
            objectName: "sourceMenu"
            Layout.fillWidth: true
            menu: root.tile ? root.tile.sourceMenu : null
        }
        Text {
            objectName: "formatChip"
            visible: text.length > 0
            text: root.tile ? root.tile.formatChip : ""
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
            ToolTip.visible: formatHover.hovered
            ToolTip.text: "Gesendetes Format"
            HoverHandler {
                id: formatHover
            }
        }
    }

    RowLayout {
        spacing: 10
        Layout.fillWidth: true

        // The labels keep their natural size, as the pickers do (TilePicker): in a tile of the two-column grid
        // only the space before the buttons gives way.
        component Label: Text {
            font.family: Theme.fontFamily
            font.pixelSize: 12
            color: Theme.secondaryText
        }
        component IconButton: Button {
            id: button
            property string symbol
            property string help
            focusPolicy: Qt.NoFocus
            implicitWidth: 28
            implicitHeight: 26
            contentItem: Item {
                Symbol {
                    anchors.centerIn: parent
                    name: button.symbol
                    color: Theme.primaryText
                    size: 14
                }
            }
            Accessible.name: help
            ToolTip.visible: hovered
            ToolTip.text: help
        }

        Label {
            objectName: "resolutionLabel"
            text: "Auflösung"
        }
        TilePicker {
            objectName: "resolutionPicker"
            model: root.tile ? root.tile.resolutionTitles : []
            currentIndex: root.tile ? root.tile.resolutionIndex : -1
            onActivated: index => root.tile.chooseResolution(index)
        }
        Label {
            objectName: "frameRateLabel"
            text: "Bildrate"
        }
        TilePicker {
            objectName: "frameRatePicker"
            model: root.tile ? root.tile.frameRateTitles : []
            currentIndex: root.tile ? root.tile.frameRateIndex : -1
            onActivated: index => root.tile.chooseFrameRate(index)
        }
        // The flexible space and the buttons at its end are one item: a spacer of its own would cost the row a
        // gap that a compact tile cannot spare.
        Item {
            implicitWidth: buttons.implicitWidth
            implicitHeight: buttons.implicitHeight
            Layout.fillWidth: true

            Row {
                id: buttons
                anchors.right: parent.right
                spacing: 4
                IconButton {
                    objectName: "pauseButton"
                    symbol: root.tile ? root.tile.pauseSymbol : ""
                    help: root.tile ? root.tile.pauseHelp : ""
                    onClicked: root.tile.togglePause()
                }
                IconButton {
                    objectName: "restartButton"
                    symbol: "arrow.clockwise"
                    help: "Quelle neu verbinden – hilft, wenn z. B. ein ATEM per USB nur Schwarz oder ein Standbild liefert"
                    onClicked: root.tile.restart()
                }
                IconButton {
                    objectName: "renameButton"
                    symbol: "pencil"
                    help: "Umbenennen (Name auf iPhone und iPad)"
                    onClicked: root.tile.beginRename()
                }
                IconButton {
                    objectName: "removeButton"
                    visible: root.tile !== null && root.tile.removable
                    symbol: "trash"
                    help: "Quelle entfernen"
                    onClicked: root.tile.remove()
                }
            }
        }
    }
}
