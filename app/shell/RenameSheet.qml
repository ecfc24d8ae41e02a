import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// The modal sheet in which an output's network name is edited. It shows while its tile renames; Return
// wherever the focus is in the sheet and "Sichern" save, then close; Escape and "Abbrechen" only close. The tile moves the focus into the
// field when the sheet opens and once more a moment later, never after the sheet closed.
Popup {
    id: root
    property SourceTileModel tile
    // Whether the tile that shows the sheet is on screen. When its view goes (the dashboard takes the
    // window), the sheet closes with it and keeps what was typed, as leaving a name field does.
    property bool shown: true

    objectName: "renameSheet"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 360
    padding: 20
    modal: true
    closePolicy: Popup.CloseOnEscape
    visible: tile !== null && tile.isRenaming
    onShownChanged: {
        if (!shown && tile && tile.isRenaming) {
            tile.saveRename()
        }
    }
    onClosed: {
        if (tile) {
            tile.dismissRename()
        }
    }

    background: Rectangle {
        color: Theme.cardBackground
        border.color: Theme.hairline
        radius: 12
    }

    Connections {
        target: root.tile
        function onFocusRequested() {
            field.forceActiveFocus()
        }
    }

    // "Sichern" is the sheet's default button: Return saves from the field and from either button alike.
    // Inside the open sheet only; the sheet blocks the window's own shortcuts while it is open.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: root.opened
        onActivated: root.tile.saveRename()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 12

        Text {
            text: "Name im Netzwerk"
            font.family: Theme.fontFamily
            font.pixelSize: 15
            font.bold: true
            color: Theme.primaryText
        }
        Text {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: "Unter diesem Namen finden iPhone und iPad diese Quelle."
            font.family: Theme.fontFamily
            font.pixelSize: 13
            color: Theme.secondaryText
        }
        TextField {
            id: field
            objectName: "renameField"
            Layout.fillWidth: true
            font.family: Theme.fontFamily
            text: root.tile ? root.tile.newName : ""
            placeholderText: root.tile ? root.tile.renamePlaceholder : ""
            onTextEdited: root.tile.newName = text
        }
        RowLayout {
            Layout.fillWidth: true
            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: "renameCancel"
                text: "Abbrechen"
                onClicked: root.tile.dismissRename()
            }
            Button {
                objectName: "renameSave"
                text: "Sichern"
                highlighted: true
                onClicked: root.tile.saveRename()
            }
        }
    }
}
