pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer
import Kelvora.Shell

// The main window's face outside developer mode: one tile per output (the main output first, then the
// extra outputs row by row in two columns), the connected viewers and the connection hint.
Rectangle {
    id: root
    property SenderController controller
    // The main window's preview flag; the main tile's picture counts for it while it is on screen.
    property PreviewVisibility previewVisibility
    // The width the window is heading for while its width animates. Narrowing, the tiles take it at once:
    // laid out in the wider window for a moment, a single tile would ask for a taller window, which the
    // window manager would then move up to keep on screen.
    property real targetWidth: width

    objectName: "simpleMainView"
    color: Theme.windowBackground
    implicitWidth: 720
    // The whole column: the window takes this height, and scrolls only where the screen ends first.
    implicitHeight: column.implicitHeight + 32

    SimpleMainViewModel {
        id: viewModel
        controller: root.controller
    }

    ScrollView {
        id: scroll
        anchors.fill: parent
        contentWidth: availableWidth
        contentHeight: column.implicitHeight + 32

        ColumnLayout {
            id: column
            width: Math.min(scroll.availableWidth, root.targetWidth) - 32
            x: 16
            y: 16
            spacing: 14

            // A positioner, not a layout: a tile's height follows the width it is given, which a grid
            // layout would not pick up once it has laid out.
            Grid {
                id: grid
                objectName: "tileGrid"
                Layout.fillWidth: true
                columns: viewModel.columns
                rowSpacing: 12
                columnSpacing: 12

                readonly property real cellWidth: (width - columnSpacing * (columns - 1)) / columns

                MainSourceTile {
                    tile: viewModel.mainTile
                    previewVisibility: root.previewVisibility
                    compact: viewModel.mainCompact
                    width: grid.cellWidth
                }
                Repeater {
                    model: viewModel.extraTiles
                    delegate: ExtraSourceTile {
                        required property ExtraSourceTileModel extraTile
                        tile: extraTile
                        width: grid.cellWidth
                    }
                }
            }

            ReceiversCard {
                receivers: viewModel.receivers
                Layout.fillWidth: true
            }
            ConnectionHint {
                hint: viewModel.hint
                Layout.fillWidth: true
            }
        }
    }
}
