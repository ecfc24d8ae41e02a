pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// Every option of a choice at once: a row of exclusive segments. It shows the option its owner selects, and
// none for a stored value outside the options, and reports only what the user picks (a click, or Space on
// the focused segment), never a value of its own. Tab reaches the segments; the arrow keys move between
// them. Given less than its natural width, the segments shrink alike and elide their texts.
Rectangle {
    id: root
    property var options: []
    property int selectedIndex: -1
    signal picked(int index)

    implicitWidth: row.implicitWidth + 2
    implicitHeight: 24
    radius: 6
    color: Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.06)
    border.width: 1
    border.color: Theme.hairline
    opacity: enabled ? 1 : 0.5

    function focusSegment(index) {
        if (index >= 0 && index < segments.count) {
            segments.itemAt(index).forceActiveFocus(Qt.TabFocusReason);
        }
    }

    ButtonGroup {
        id: group
    }

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 1
        spacing: 0

        Repeater {
            id: segments
            model: root.options

            delegate: AbstractButton {
                id: button
                required property int index
                required property string modelData

                objectName: "segment" + index
                text: modelData
                // Not checkable: a click asks the owner, and only the owner's answer marks a segment.
                checked: index === root.selectedIndex
                ButtonGroup.group: group
                focusPolicy: Qt.StrongFocus
                leftPadding: 9
                rightPadding: 9
                implicitWidth: Math.ceil(implicitContentWidth) + leftPadding + rightPadding
                implicitHeight: root.implicitHeight - 2
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.preferredWidth: implicitWidth
                Layout.maximumWidth: implicitWidth
                Accessible.role: Accessible.RadioButton
                Accessible.name: text
                Accessible.checkable: true
                Accessible.checked: checked

                onClicked: root.picked(index)
                Keys.onLeftPressed: root.focusSegment(index - 1)
                Keys.onRightPressed: root.focusSegment(index + 1)

                contentItem: Text {
                    text: button.text
                    elide: Text.ElideRight
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.family: Theme.fontFamily
                    font.pixelSize: 12
                    font.weight: button.checked ? Font.DemiBold : Font.Normal
                    color: button.checked ? "white" : Theme.primaryText
                }
                background: Rectangle {
                    radius: 5
                    color: button.checked ? Theme.tint
                                          : button.down ? Qt.rgba(Theme.primaryText.r, Theme.primaryText.g,
                                                                  Theme.primaryText.b, 0.12)
                                                        : "transparent"
                    border.width: button.visualFocus ? 2 : 0
                    border.color: Qt.lighter(Theme.tint, 1.3)

                    // A hairline between two segments that are both unselected.
                    Rectangle {
                        visible: button.index > 0 && !button.checked && button.index - 1 !== root.selectedIndex
                        x: -0.5
                        width: 1
                        height: parent.height - 8
                        anchors.verticalCenter: parent.verticalCenter
                        color: Theme.hairline
                    }
                }
            }
        }
    }
}
