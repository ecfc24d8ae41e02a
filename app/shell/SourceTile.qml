import QtQuick
import QtQuick.Controls
import Kelvora.Ui
import Kelvora.Developer
import Kelvora.Shell

// One output's tile: a 16:9 picture (the live preview, or a placeholder with the state when there is no
// picture), the state badge, warnings, name and viewer count over it, and the caller's controls below.
Item {
    id: root
    property SourceTileModel tile
    property bool compact: false
    // Given only where the picture feeds a preview flag (the main output's tile).
    property PreviewVisibility previewVisibility
    default property alias controls: controlsHolder.data

    // Height follows width (a 16:9 picture), which layouts do not derive by themselves.
    implicitWidth: 320
    implicitHeight: picture.height + 6 + controlsHolder.height

    Item {
        id: picture
        objectName: "tilePicture"
        width: root.width
        height: Math.round(width * 9 / 16)

        Rectangle {
            anchors.fill: parent
            radius: 10
            color: "black"
        }

        PreviewHost {
            anchors.fill: parent
            visibility: root.previewVisibility
        }

        VideoView {
            objectName: "tilePreview"
            anchors.fill: parent
            radius: 10
            feed: root.tile ? root.tile.feed : null
            opacity: root.tile && root.tile.showsVideo ? 1 : 0
        }

        Column {
            objectName: "tilePlaceholder"
            visible: root.tile !== null && !root.tile.showsVideo
            anchors.centerIn: parent
            width: parent.width - 40
            spacing: 8

            Symbol {
                objectName: "placeholderSymbol"
                anchors.horizontalCenter: parent.horizontalCenter
                name: root.tile ? root.tile.placeholderSymbol : ""
                color: Qt.rgba(1, 1, 1, 0.7)
                size: root.compact ? 24 : 34
            }
            Text {
                objectName: "placeholderTitle"
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                text: root.tile ? root.tile.title : ""
                textFormat: Text.PlainText
                font.family: Theme.fontFamily
                font.pixelSize: root.compact ? 13 : 15
                font.weight: root.compact ? Font.DemiBold : Font.Bold
                color: "white"
            }
            Text {
                objectName: "placeholderDetail"
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                text: root.tile ? root.tile.detail : ""
                textFormat: Text.PlainText
                font.family: Theme.fontFamily
                font.pixelSize: root.compact ? 11 : 13
                color: Qt.rgba(1, 1, 1, 0.6)
            }
            Button {
                objectName: "placeholderButton"
                anchors.horizontalCenter: parent.horizontalCenter
                visible: root.tile !== null && root.tile.placeholderButton.length > 0
                topInset: 4
                text: root.tile ? root.tile.placeholderButton : ""
                focusPolicy: Qt.NoFocus
                onClicked: root.tile.pressPlaceholderButton()
            }
        }

        Item {
            anchors.fill: parent
            anchors.margins: 8

            Rectangle {
                anchors.left: parent.left
                anchors.top: parent.top
                width: badge.implicitWidth
                height: badge.implicitHeight
                radius: height / 2
                color: Qt.rgba(0, 0, 0, 0.6)

                StatusBadge {
                    id: badge
                    objectName: "tileBadge"
                    anchors.fill: parent
                    title: root.tile ? root.tile.title.toUpperCase() : ""
                    color: Theme.color(root.tile ? root.tile.colorToken : "gray")
                    pulsing: root.tile !== null && root.tile.badgePulses
                }
            }
            TileChip {
                objectName: "blackSourceChip"
                anchors.right: parent.right
                anchors.top: parent.top
                visible: root.tile !== null && root.tile.showsBlackChip
                text: "Quelle liefert nur Schwarz"
                systemImage: "exclamationmark.triangle.fill"
            }
            TileChip {
                objectName: "nameChip"
                anchors.left: parent.left
                anchors.bottom: parent.bottom
                maximumTextWidth: parent.width * 0.6
                text: root.tile ? root.tile.name : ""
                systemImage: "dot.radiowaves.left.and.right"
                help: "Unter diesem Namen erscheint die Quelle auf iPhone und iPad"
            }
            TileChip {
                objectName: "viewerChip"
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                visible: root.tile !== null && root.tile.viewerCount.length > 0
                text: root.tile ? root.tile.viewerCount : ""
                systemImage: "iphone.gen3"
                help: root.tile ? root.tile.viewerHelp : ""
            }
        }
    }

    Item {
        id: controlsHolder
        x: 2
        y: picture.height + 6
        width: root.width - 4
        height: childrenRect.height
    }
}
