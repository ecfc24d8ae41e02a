import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// The components the program is made of, each with its licence, version, notice and link.
Rectangle {
    id: root
    readonly property string title: licenses.title

    color: Theme.windowBackground
    implicitWidth: 560
    implicitHeight: 640

    LicenseListModel {
        id: licenses
    }

    ListView {
        id: list
        objectName: "licenseList"
        anchors.fill: parent
        anchors.margins: 16
        clip: true
        spacing: 0
        model: licenses
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        delegate: Item {
            id: row
            required property int index
            required property string name
            required property string license
            required property string versionText
            required property string notice
            required property string link

            width: ListView.view.width
            implicitHeight: content.implicitHeight + 8 + (separator.visible ? 1 : 0)

            ColumnLayout {
                id: content
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.topMargin: 4
                spacing: 6

                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        objectName: "licenseName"
                        text: row.name
                        font.family: Theme.fontFamily
                        font.pixelSize: 13
                        font.bold: true
                        color: Theme.primaryText
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    Pill {
                        objectName: "licenseBadge"
                        text: row.license
                        color: Theme.tint
                        Layout.alignment: Qt.AlignTop
                    }
                }
                Text {
                    text: row.versionText
                    font.family: Theme.fontFamily
                    font.pixelSize: 10
                    color: Theme.secondaryText
                }
                TextEdit {
                    objectName: "licenseNotice"
                    text: row.notice
                    readOnly: true
                    selectByMouse: true
                    wrapMode: TextEdit.Wrap
                    font.family: Theme.fontFamily
                    font.pixelSize: 11
                    color: Theme.secondaryText
                    Layout.fillWidth: true
                }
                Text {
                    objectName: "licenseLink"
                    visible: row.link.length > 0
                    text: row.link
                    font.family: Theme.fontFamily
                    font.pixelSize: 10
                    font.underline: hover.hovered
                    color: Theme.tint
                    elide: Text.ElideRight
                    Layout.fillWidth: true

                    HoverHandler {
                        id: hover
                        cursorShape: Qt.PointingHandCursor
                    }
                    TapHandler {
                        onTapped: Qt.openUrlExternally(row.link)
                    }
                }
            }
            Rectangle {
                id: separator
                visible: row.index < row.ListView.view.count - 1
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                height: 1
                color: Theme.hairline
            }
        }

        footer: Text {
            objectName: "licenseFooter"
            width: ListView.view.width
            topPadding: 10
            text: ListView.view.model.footer
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: 10
            color: Theme.secondaryText
        }
    }
}
