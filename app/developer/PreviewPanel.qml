import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The main output's picture at 16:9 with its state badge and chips, or, without a picture, a placeholder
// that says why and offers the action that helps.
Item {
    id: root
    property SenderController controller
    property PreviewVisibility previewVisibility

    Layout.fillWidth: true
    Layout.preferredHeight: width * 9 / 16
    implicitWidth: 640
    implicitHeight: width * 9 / 16

    PreviewPanelModel {
        id: model
        controller: root.controller
    }

    component OverlayChip: Rectangle {
        id: chip
        property string text
        property string systemImage

        implicitWidth: chipRow.implicitWidth + 18
        implicitHeight: chipRow.implicitHeight + 10
        radius: height / 2
        color: Qt.rgba(0, 0, 0, 0.55)

        RowLayout {
            id: chipRow
            anchors.fill: parent
            anchors.leftMargin: 9
            anchors.rightMargin: 9
            spacing: 5

            Symbol {
                visible: chip.systemImage.length > 0
                name: chip.systemImage
                color: "white"
                size: 12
            }
            Text {
                text: chip.text
                elide: Text.ElideRight
                maximumLineCount: 1
                font.family: Theme.fontFamily
                font.pixelSize: 11
                font.weight: Font.DemiBold
                color: "white"
                Layout.fillWidth: true
            }
        }
    }

    Rectangle {
        anchors.fill: parent
        radius: 14
        color: "black"
    }

    PreviewHost {
        anchors.fill: parent
        visibility: root.previewVisibility
    }

    VideoView {
        objectName: "previewVideo"
        anchors.fill: parent
        feed: model.feed
        radius: 14
        opacity: model.showsVideo ? 1 : 0
    }

    ColumnLayout {
        objectName: "previewPlaceholder"
        visible: !model.showsVideo
        anchors.centerIn: parent
        width: Math.min(implicitWidth, parent.width - 60)
        spacing: 12

        Symbol {
            objectName: "placeholderSymbol"
            name: model.placeholderSymbol
            size: 46
            color: Qt.rgba(1, 1, 1, 0.75)
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            objectName: "placeholderTitle"
            text: model.statusTitle
            font.family: Theme.fontFamily
            font.pixelSize: 22
            font.weight: Font.DemiBold
            color: "white"
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            objectName: "placeholderDetail"
            text: model.statusDetail
            visible: text.length > 0
            font.family: Theme.fontFamily
            font.pixelSize: 15
            color: Qt.rgba(1, 1, 1, 0.65)
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 10
            visible: model.offersCameraAccess || model.offersResume
            Layout.topMargin: 4
            Layout.alignment: Qt.AlignHCenter

            Button {
                objectName: "allowCameraButton"
                visible: model.offersCameraAccess
                text: "Kamerazugriff erlauben …"
                onClicked: model.allowCameraAccess()
            }
            Button {
                objectName: "resumeButton"
                visible: model.offersResume
                text: "Fortsetzen"
                highlighted: true
                onClicked: model.resume()
            }
        }
    }

    // "Fortsetzen" is the window's default action, but a window-wide shortcut sees a key before the focused
    // control does: while a text field has the focus, Return belongs to that field and commits its text.
    readonly property Item focusedItem: Window.activeFocusItem
    readonly property bool typing: focusedItem instanceof TextInput || focusedItem instanceof TextEdit

    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: model.offersResume && root.visible && !root.typing
        onActivated: model.resume()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 14

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignTop

            Rectangle {
                implicitWidth: badge.implicitWidth
                implicitHeight: badge.implicitHeight
                radius: height / 2
                color: Qt.rgba(0, 0, 0, 0.6)
                Layout.alignment: Qt.AlignTop

                StatusBadge {
                    id: badge
                    objectName: "statusBadge"
                    anchors.fill: parent
                    title: model.statusTitle.toUpperCase()
                    color: Theme.color(model.badgeColor)
                    pulsing: model.badgePulsing
                }
            }
            Item {
                Layout.fillWidth: true
            }
            OverlayChip {
                objectName: "blackWarningChip"
                visible: model.warnsBlack
                text: "Quelle liefert nur Schwarz"
                systemImage: "exclamationmark.triangle.fill"
                Layout.alignment: Qt.AlignTop
            }
            OverlayChip {
                objectName: "formatChip"
                visible: model.showsVideo
                text: model.formatChip
                Layout.alignment: Qt.AlignTop
            }
        }
        Item {
            Layout.fillHeight: true
        }
        RowLayout {
            visible: model.showsVideo
            spacing: 8
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignBottom

            OverlayChip {
                objectName: "sourceChip"
                text: model.sourceName
                systemImage: model.sourceChipSymbol
                Layout.maximumWidth: root.width / 2
            }
            Item {
                Layout.fillWidth: true
            }
            OverlayChip {
                objectName: "rateChip"
                text: model.rateChip
                systemImage: "arrow.up.circle"
            }
        }
    }
}
