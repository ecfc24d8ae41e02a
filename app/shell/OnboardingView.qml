import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// The four-page introduction. It starts at the first page each time it is made; only "Überspringen" on the
// first page and "Los geht’s" on the last one end it.
Item {
    id: root
    required property OnboardingModel model
    property int page: 0
    readonly property int lastPage: model.pages.length - 1
    // One entry per page, true for the page shown.
    readonly property var dots: {
        const list = []
        for (let index = 0; index <= lastPage; ++index) {
            list.push(index === page)
        }
        return list
    }

    function advance() {
        if (page === lastPage) {
            model.finish()
        } else {
            page = page + 1
        }
    }

    // One page: icon or badge, title, text and the page's own row.
    component PageBlock: Item {
        id: block
        required property int pageIndex
        required property OnboardingModel onboarding
        readonly property var content: onboarding.pages[pageIndex]

        // The colour of the corner-to-corner gradient of the badge's square where its circle begins (t of
        // 0.146) and ends (0.854): the circle is turned so that a gradient along it runs along the diagonal.
        function mix(t) {
            // The page names its colours as text; a colour value has channels.
            const from = Qt.lighter(content.colors[0], 1)
            const to = Qt.lighter(content.colors[1], 1)
            return Qt.rgba(from.r + (to.r - from.r) * t, from.g + (to.g - from.g) * t, from.b + (to.b - from.b) * t, 1)
        }

        ColumnLayout {
            id: pageBlock
            objectName: "onboardingPage"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.leftMargin: 36
            anchors.rightMargin: 36
            anchors.topMargin: 28
            spacing: 18

            Item {
                Layout.alignment: Qt.AlignHCenter
                implicitWidth: 112
                implicitHeight: 112

                AppIconImage {
                    anchors.centerIn: parent
                    visible: block.pageIndex === 0
                    size: 112
                }
                Item {
                    objectName: "onboardingBadge"
                    anchors.centerIn: parent
                    visible: block.pageIndex > 0
                    width: 96
                    height: 96
                    Rectangle {
                        anchors.fill: parent
                        radius: 48
                        antialiasing: true
                        // A vertical gradient turned a quarter back: first colour top-leading, second
                        // bottom-trailing.
                        rotation: -45
                        gradient: Gradient {
                            GradientStop { position: 0.0; color: block.content.colors.length > 1 ? block.mix(1 / 2 - Math.SQRT1_2 / 2) : "transparent" }
                            GradientStop { position: 1.0; color: block.content.colors.length > 1 ? block.mix(1 / 2 + Math.SQRT1_2 / 2) : "transparent" }
                        }
                    }
                    Symbol {
                        anchors.centerIn: parent
                        name: block.content.symbol
                        color: "white"
                        size: 40
                    }
                }
            }

            Text {
                objectName: "onboardingTitle"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                text: block.content.title
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                font.family: Theme.fontFamily
                font.pixelSize: 17
                font.bold: true
                color: Theme.primaryText
            }

            Text {
                objectName: "onboardingText"
                Layout.alignment: Qt.AlignHCenter
                Layout.preferredWidth: Math.min(400, pageBlock.width)
                horizontalAlignment: Text.AlignHCenter
                text: block.content.text
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                font.family: Theme.fontFamily
                font.pixelSize: 13
                color: Theme.secondaryText
            }

            Item {
                Layout.fillWidth: true
                Layout.minimumHeight: 44
                implicitHeight: Math.max(44, extra.implicitHeight)

                Row {
                    objectName: "onboardingSourceLine"
                    anchors.centerIn: parent
                    visible: block.pageIndex === 1
                    spacing: 6
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        name: block.onboarding.sourceSymbol
                        color: block.onboarding.sourceDetected ? Theme.color("green") : Theme.secondaryText
                        size: 14
                    }
                    Text {
                        objectName: "onboardingSourceText"
                        anchors.verticalCenter: parent.verticalCenter
                        text: block.onboarding.sourceText
                        textFormat: Text.PlainText
                        font.family: Theme.fontFamily
                        font.pixelSize: 13
                        color: block.onboarding.sourceDetected ? Theme.color("green") : Theme.secondaryText
                    }
                }

                Text {
                    id: extra
                    objectName: "onboardingAddressHint"
                    anchors.centerIn: parent
                    width: parent.width
                    visible: block.pageIndex === 2
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    // Read when the page is made, as the addresses may have changed.
                    text: block.pageIndex === 2 ? block.onboarding.addressHint() : ""
                    textFormat: Text.StyledText
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    color: Theme.secondaryText
                }

                Switch {
                    objectName: "onboardingLoginSwitch"
                    anchors.centerIn: parent
                    visible: block.pageIndex === 3
                    text: "Beim Anmelden automatisch starten"
                    checked: block.onboarding.launchAtLogin
                    onToggled: block.onboarding.setLaunchAtLogin(checked)
                }
            }
        }
    }

    // Each page is made anew as it comes, so its transition runs; while the view is hidden (a new
    // presentation starting at the first page) it changes at once.
    onPageChanged: pageStack.replace(pageComponent, {pageIndex: page, onboarding: model},
                                     visible ? StackView.Transition : StackView.Immediate)

    Component {
        id: pageComponent
        PageBlock {}
    }

    objectName: "onboardingView"
    implicitWidth: 480
    implicitHeight: 430
    width: 480
    height: 430
    clip: true
    focus: true
    Keys.onReturnPressed: advance()
    Keys.onEnterPressed: advance()

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // The page block; a new page replaces it, fading in from the trailing edge while the old one fades
        // out towards the leading edge, whichever way the user goes. Below it stays at least 18 free.
        StackView {
            id: pageStack
            objectName: "onboardingPages"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.bottomMargin: 18
            clip: true
            Component.onCompleted: push(pageComponent, {pageIndex: root.page, onboarding: root.model}, StackView.Immediate)
            replaceEnter: Transition {
                NumberAnimation { property: "x"; from: pageStack.width; to: 0; duration: 500; easing.type: Easing.OutCubic }
                NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 500; easing.type: Easing.OutCubic }
            }
            replaceExit: Transition {
                NumberAnimation { property: "x"; from: 0; to: -pageStack.width; duration: 500; easing.type: Easing.OutCubic }
                NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 500; easing.type: Easing.OutCubic }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: bar.implicitHeight + 40
            color: Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.04)

            RowLayout {
                id: bar
                anchors.fill: parent
                anchors.margins: 20

                Row {
                    objectName: "onboardingDots"
                    spacing: 7
                    Repeater {
                        model: root.dots
                        Rectangle {
                            required property bool modelData
                            width: 7
                            height: 7
                            radius: 3.5
                            color: modelData ? Theme.tint
                                             : Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.18)
                        }
                    }
                }
                Item {
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "onboardingBackButton"
                    text: root.model.backTitle(root.page)
                    onClicked: {
                        if (root.page === 0) {
                            root.model.finish()
                        } else {
                            root.page = root.page - 1
                        }
                    }
                }
                Button {
                    objectName: "onboardingNextButton"
                    highlighted: true
                    text: root.model.nextTitle(root.page)
                    onClicked: root.advance()
                }
            }
        }
    }
}
