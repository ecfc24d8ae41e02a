import QtQuick
import Kelvora.Shell

// One extra output's tile: always compact, with a remove button.
SourceTile {
    id: root
    objectName: "extraSourceTile"
    compact: true

    TileControls {
        tile: root.tile
    }
    RenameSheet {
        tile: root.tile
        shown: root.visible
    }
}
