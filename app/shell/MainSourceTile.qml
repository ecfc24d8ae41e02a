import QtQuick
import Kelvora.Shell

// The main output's tile; compact while extra outputs share the grid.
SourceTile {
    id: root
    objectName: "mainSourceTile"

    TileControls {
        tile: root.tile
    }
    RenameSheet {
        tile: root.tile
        shown: root.visible
    }
}
