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
    readonly property var current: model.pages[page]
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

        ColumnLayout {
            id: pageBlock
            objectName: "onboardingPage"
            Layout.fillWidth: true
            Layout.leftMargin: 36
            Layout.rightMargin: 36
            Layout.topMargin: 28
            spacing: 18

            Item {
                Layout.alignment: Qt.AlignHCenter
                implicitWidth: 112
                implicitHeight: 112

                AppIconImage {
                    anchors.centerIn: parent
                    visible: root.page === 0
                    size: 112
                }
                Rectangle {
                    objectName: "onboardingBadge"
                    anchors.centerIn: parent
                    visible: root.page > 0
                    width: 96
                    height: 96
                    radius: 48
                    gradient: Gradient {
                        orientation: Gradient.Vertical
                        GradientStop { position: 0.0; color: root.current.colors.length > 0 ? root.current.colors[0] : "transparent" }
                        GradientStop { position: 1.0; color: root.current.colors.length > 1 ? root.current.colors[1] : "transparent" }
                    }
                    Symbol {
                        anchors.centerIn: parent
                        name: root.current.symbol
                        color: "white"
                        size: 40
                    }
                }
            }

            Text {
                objectName: "onboardingTitle"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                text: root.current.title
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
                text: root.current.text
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
                    id: sourceRow
                    objectName: "onboardingSourceLine"
                    anchors.centerIn: parent
                    visible: root.page === 1
                    spacing: 6
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        name: root.model.sourceSymbol
                        color: root.model.sourceDetected ? Theme.color("green") : Theme.secondaryText
                        size: 14
                    }
                    Text {
                        objectName: "onboardingSourceText"
                        anchors.verticalCenter: parent.verticalCenter
                        text: root.model.sourceText
                        textFormat: Text.PlainText
                        font.family: Theme.fontFamily
                        font.pixelSize: 13
                        color: root.model.sourceDetected ? Theme.color("green") : Theme.secondaryText
                    }
                }

                Text {
                    id: extra
                    objectName: "onboardingAddressHint"
                    anchors.centerIn: parent
                    width: parent.width
                    visible: root.page === 2
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    // Built anew with the page, as the addresses may have changed.
                    text: root.page === 2 ? root.model.addressHint() : ""
                    textFormat: Text.StyledText
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    color: Theme.secondaryText
                }

                Switch {
                    objectName: "onboardingLoginSwitch"
                    anchors.centerIn: parent
                    visible: root.page === 3
                    text: "Beim Anmelden automatisch starten"
                    checked: root.model.launchAtLogin
                    onToggled: root.model.setLaunchAtLogin(checked)
                }
            }
        }

        Item {
            Layout.fillHeight: true
            Layout.minimumHeight: 18
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
