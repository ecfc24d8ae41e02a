pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import Kelvora.Ui
import Kelvora.Player

// The whole player screen: the picture edge to edge, the status panel while nothing plays, and along the top
// the connection pill, the menu, the sender picker's button and the debug overlay. During playback the
// controls hide themselves 3 s after they were last shown; a click anywhere shows or hides them.
Item {
    id: root
    required property PlayerViewModel model

    Rectangle {
        anchors.fill: parent
        color: "black"
    }

    VideoView {
        objectName: "playerVideo"
        anchors.fill: parent
        feed: root.model.feed
        opacity: root.model.isPlaying ? 1.0 : 0.35
        Behavior on opacity {
            NumberAnimation { duration: 250; easing.type: Easing.InOutQuad }
        }
    }

    // Below the controls, so a click on a button is the button's alone.
    MouseArea {
        anchors.fill: parent
        enabled: root.model.showsControls
        onClicked: root.model.tap()
    }

    StatusPlaceholder {
        objectName: "statusPlaceholder"
        anchors.centerIn: parent
        availableWidth: root.width
        opacity: root.model.isPlaying ? 0 : 1
        visible: opacity > 0
        Behavior on opacity {
            NumberAnimation { duration: 250 }
        }
        symbol: root.model.placeholderSymbol
        pulses: root.model.placeholderPulses
        title: root.model.placeholderTitle
        subtitle: root.model.placeholderSubtitle
        offersChoice: root.model.placeholderOffersChoice
        onChoose: root.model.showsPicker = true
    }

    Column {
        id: controls
        visible: root.model.showsControls
        x: 16
        y: 8
        width: parent.width - 32
        spacing: 10

        Item {
            width: parent.width
            height: Math.max(pill.height, buttons.height)

            StatusPill {
                id: pill
                objectName: "statusPill"
                readonly property bool shown: root.model.controlsVisible || !root.model.isPlaying
                y: shown ? 0 : -height - 8
                opacity: shown ? 1 : 0
                visible: opacity > 0
                Behavior on y {
                    NumberAnimation { duration: root.model.controlsAnimationMs; easing.type: Easing.InOutQuad }
                }
                Behavior on opacity {
                    NumberAnimation { duration: root.model.controlsAnimationMs; easing.type: Easing.InOutQuad }
                }
                title: root.model.pillTitle
                detail: root.model.pillDetail
                hasDetail: root.model.pillHasDetail
                dotColor: root.model.pillColor
            }

            Row {
                id: buttons
                objectName: "playerButtons"
                anchors.right: parent.right
                spacing: 8
                y: root.model.controlsVisible ? 0 : -height - 8
                opacity: root.model.controlsVisible ? 1 : 0
                visible: opacity > 0
                Behavior on y {
                    NumberAnimation { duration: root.model.controlsAnimationMs; easing.type: Easing.InOutQuad }
                }
                Behavior on opacity {
                    NumberAnimation { duration: root.model.controlsAnimationMs; easing.type: Easing.InOutQuad }
                }

                CircleIcon {
                    id: menuButton
                    objectName: "playerMenuButton"
                    symbol: "slider.horizontal.3"
                    onClicked: menu.open()

                    Menu {
                        id: menu
                        objectName: "playerMenu"
                        y: menuButton.height + 4
                        onAboutToShow: root.model.showsMenu = true
                        onAboutToHide: root.model.showsMenu = false

                        MenuItem {
                            text: "Engine"
                            enabled: false
                        }
                        Instantiator {
                            model: root.model.engines
                            delegate: MenuItem {
                                id: engineItem
                                required property var modelData
                                objectName: "menuEngine_" + engineItem.modelData.id
                                text: engineItem.modelData.name
                                checkable: true
                                checked: root.model.engine === engineItem.modelData.id
                                onTriggered: root.model.engine = engineItem.modelData.id
                            }
                            onObjectAdded: (index, object) => menu.insertItem(index + 1, object)
                            onObjectRemoved: (index, object) => menu.removeItem(object)
                        }
                        MenuSeparator {}
                        MenuItem {
                            objectName: "menuOverlay"
                            text: "Debug-Overlay"
                            checkable: true
                            checked: root.model.showsDebugOverlay
                            onTriggered: root.model.showsDebugOverlay = checked
                        }
                        MenuItem {
                            objectName: "menuKeyframe"
                            text: "Keyframe anfordern"
                            icon.source: "image://symbol/arrow.clockwise/" + Theme.primaryText.toString().substring(1)
                            onTriggered: root.model.requestKeyframe()
                        }
                    }
                }
                CircleIcon {
                    objectName: "playerPickerButton"
                    symbol: "desktopcomputer"
                    accessibleName: "Sender wählen"
                    onClicked: root.model.showsPicker = true
                }
                CircleIcon {
                    objectName: "playerCloseButton"
                    visible: root.model.canClose
                    symbol: "xmark"
                    accessibleName: "Schließen"
                    onClicked: root.model.close()
                }
            }
        }

        Item {
            id: overlayRow
            width: parent.width
            height: overlay.visible ? overlay.height * overlay.scale : 0
            DebugOverlay {
                id: overlay
                objectName: "debugOverlay"
                anchors.right: parent.right
                height: implicitHeight
                // In a low window the panel shrinks to the height left below the top bar rather than lose
                // its last rows and the clock under the window's edge.
                transformOrigin: Item.TopRight
                scale: Math.min(1, Math.max(0.25, (root.height - controls.y - overlayRow.y - 8) / implicitHeight))
                opacity: root.model.showsDebugOverlay ? 1 : 0
                visible: opacity > 0
                Behavior on opacity {
                    NumberAnimation { duration: 200 }
                }
                header: root.model.overlayHeader
                showsSyncBadge: root.model.overlayShowsSyncBadge
                rows: root.model.overlayRows
                showsClock: root.model.overlayShowsClock
            }
        }
    }

    SenderPicker {
        id: picker
        objectName: "senderPicker"
        model: root.model
        onClosed: root.model.showsPicker = false
    }

    Connections {
        target: root.model
        function onShowsPickerChanged() {
            if (root.model.showsPicker)
                picker.open()
            else
                picker.close()
        }
    }
}
