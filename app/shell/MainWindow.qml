import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer
import Kelvora.Shell

// Window "main": the menu bar with the program's commands, the toolbar, the main view of the current mode
// and the introduction, which only its own buttons close.
ApplicationWindow {
    id: window
    required property MainWindowModel model
    required property OnboardingModel onboarding
    required property PreviewVisibility previewVisibility

    readonly property bool developer: model.isDeveloperMode
    readonly property int simpleWidth: model.extraOutputCount > 0 ? 960 : 680

    objectName: "mainWindow"
    title: "Tilvara Sender"
    color: Theme.windowBackground
    width: developer ? 1180 : simpleWidth
    minimumWidth: developer ? 980 : simpleWidth
    maximumWidth: developer ? 16777215 : simpleWidth

    // Outside developer mode the window is as high as the simple view with its bars; the user sizes the
    // dashboard.
    WindowHeight {
        window: window
        fitsContent: !window.developer
        contentHeight: simpleView.implicitHeight + window.menuBar.implicitHeight + window.header.implicitHeight
        freeMinimumHeight: 640
        freeHeight: 760
    }

    Behavior on width {
        enabled: !window.developer
        NumberAnimation { duration: 500; easing.type: Easing.OutCubic }
    }

    // A menu entry that shows its key, as the menus of the platform do. The keys themselves are the program's
    // own commands, taken before any window sees them; the entry only names the key.
    component CommandItem: MenuItem {
        id: command
        property string shortcutText

        contentItem: RowLayout {
            spacing: 24
            Text {
                leftPadding: command.checkable && command.indicator ? command.indicator.width + command.spacing : 0
                text: command.text
                font: command.font
                color: command.palette.windowText
                opacity: command.enabled ? 1 : 0.5
                Layout.fillWidth: true
            }
            Text {
                objectName: "shortcutText"
                visible: text.length > 0
                text: command.shortcutText
                font: command.font
                color: Theme.secondaryText
            }
        }
    }

    menuBar: MenuBar {
        // A menu closed with Escape while the pointer still rests on its title leaves the bar believing a
        // menu is open: the title stays lit and the next click only "closes" it. Once the menu has closed,
        // and unless the title itself is being pressed (a click on it closes the menu on purpose), the title
        // is triggered once more, which returns the bar to its resting state.
        delegate: MenuBarItem {
            id: title
            Connections {
                target: title.menu
                function onClosed() {
                    if (title.highlighted && !title.pressed)
                        title.triggered()
                }
            }
        }
        Menu {
            title: "Tilvara Sender"
            // Wide enough for the longest entry beside its key; the style's menu stays at its own 200 otherwise.
            width: 280
            MenuItem {
                objectName: "checkForUpdatesItem"
                text: "Nach Updates suchen …"
                enabled: window.model.canCheckForUpdates
                onTriggered: window.model.checkForUpdates()
            }
            MenuSeparator {}
            CommandItem {
                objectName: "settingsItem"
                text: "Einstellungen …"
                shortcutText: "Ctrl+,"
                onTriggered: window.model.openSettings()
            }
            CommandItem {
                objectName: "developerModeItem"
                text: "Entwicklermodus"
                shortcutText: "Ctrl+Alt+D"
                checkable: true
                checked: window.model.isDeveloperMode
                onTriggered: window.model.toggleDeveloperMode()
            }
            MenuSeparator {}
            CommandItem {
                objectName: "quitItem"
                text: "Tilvara Sender beenden"
                shortcutText: "Ctrl+Q"
                onTriggered: window.model.quit()
            }
        }
        Menu {
            title: "Hilfe"
            MenuItem {
                objectName: "showIntroductionItem"
                text: "Einführung anzeigen"
                onTriggered: window.model.showIntroduction()
            }
        }
    }

    header: ToolBar {
        objectName: "mainToolbar"
        RowLayout {
            anchors.fill: parent
            spacing: 10

            RowLayout {
                Layout.leftMargin: 6
                Layout.rightMargin: 12
                spacing: 10
                AppIconImage {
                    size: 26
                }
                Column {
                    spacing: 0
                    rightPadding: 4
                    Text {
                        text: "Tilvara Sender"
                        font.family: Theme.fontFamily
                        font.pixelSize: 13
                        font.weight: Font.DemiBold
                        color: Theme.primaryText
                    }
                    Text {
                        objectName: "toolbarDisplayName"
                        text: window.model.displayName
                        textFormat: Text.PlainText
                        font.family: Theme.fontFamily
                        font.pixelSize: 11
                        color: Theme.secondaryText
                    }
                }
                Pill {
                    objectName: "developerBadge"
                    visible: window.developer
                    text: "ENTWICKLER"
                    color: Theme.color("orange")
                    ToolTip.visible: badgeHover.hovered
                    ToolTip.text: "Entwicklermodus – ausschalten mit Ctrl+Alt+D"
                    HoverHandler {
                        id: badgeHover
                    }
                }
            }

            // The centre holds the dashboard's reference clock while the test picture is live; its room is
            // kept, so the toolbar does not change height when it comes and goes.
            Item {
                Layout.fillWidth: true
                implicitHeight: referenceClock.implicitHeight
                ReferenceClock {
                    id: referenceClock
                    objectName: "referenceClock"
                    anchors.centerIn: parent
                    visible: window.developer && developerView.showsReferenceClock
                }
            }

            ToolButton {
                objectName: "addSourceButton"
                visible: !window.developer
                enabled: window.model.canAddSource
                display: AbstractButton.IconOnly
                text: "Quelle hinzufügen"
                icon.source: "image://symbol/plus"
                // The symbols are drawn black; only a tint makes the disabled state show.
                icon.color: palette.buttonText
                ToolTip.visible: hovered
                ToolTip.text: window.model.addSourceHelp
                onClicked: window.model.addOutput()
            }
            ToolButton {
                objectName: "pauseButton"
                display: AbstractButton.IconOnly
                text: window.model.pauseTitle
                icon.source: "image://symbol/" + window.model.pauseSymbol
                ToolTip.visible: hovered
                ToolTip.text: window.model.pauseHelp
                onClicked: window.model.togglePause()
            }
            ToolButton {
                objectName: "settingsButton"
                Layout.rightMargin: 6
                display: AbstractButton.IconOnly
                text: "Einstellungen"
                icon.source: "image://symbol/gearshape"
                ToolTip.visible: hovered
                ToolTip.text: "Einstellungen (Ctrl+,)"
                onClicked: window.model.openSettings()
            }
        }
    }

    // Both views stay made; only the one of the current mode is shown, and a hidden view neither draws nor
    // counts as showing a preview. The view that goes keeps no keyboard focus: a hidden field would go on
    // taking the typing, and a name typed into it would never be handed on. Losing the focus commits it.
    onDeveloperChanged: (developer ? developerView : simpleView).forceActiveFocus()

    DeveloperMainView {
        id: developerView
        objectName: "developerMainView"
        anchors.fill: parent
        visible: window.developer
        controller: window.model.controller
        previewVisibility: window.previewVisibility
        onOpenWindow: id => window.model.openWindow(id)
    }

    SimpleMainView {
        id: simpleView
        objectName: "simpleMainView"
        anchors.fill: parent
        visible: !window.developer
        controller: window.model.controller
        previewVisibility: window.previewVisibility
        targetWidth: window.simpleWidth
    }

    Popup {
        id: onboardingSheet
        objectName: "onboardingSheet"
        parent: Overlay.overlay
        anchors.centerIn: Overlay.overlay
        width: 480
        height: 430
        modal: true
        padding: 0
        // Only the introduction's own buttons end it, so that it is never cleared without being recorded.
        closePolicy: Popup.NoAutoClose
        visible: window.model.showsOnboarding
        focus: true
        // Each presentation starts again at the first page.
        onAboutToShow: onboardingView.page = 0
        OnboardingView {
            id: onboardingView
            model: window.onboarding
        }
    }
}
