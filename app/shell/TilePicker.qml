pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// A tile's compact pop-up picker: a narrow margin and a small arrow, and as wide as its longest entry, so
// that "Wie Quelle" is never cut. The first entry, "Wie Quelle", stands apart from the sizes and rates below
// a divider. It takes no focus and reports the user's choice through `activated`.
ComboBox {
    id: picker

    focusPolicy: Qt.NoFocus
    implicitContentWidthPolicy: ComboBox.WidestText
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: 26
    padding: 4
    spacing: 4
    // The arrow's room is kept whether or not it is seen: the style leaves it out while the arrow counts as
    // hidden, which it does while the whole view is hidden, and the row then keeps the narrower width.
    leftPadding: padding
    rightPadding: padding + indicator.width + spacing
    Layout.minimumWidth: implicitWidth
    font.family: Theme.fontFamily
    font.pixelSize: 12

    // A plain line of text with a narrow margin instead of the style's wide one; a text input, since the width
    // of the widest entry is measured on one.
    contentItem: TextInput {
        leftPadding: 6
        rightPadding: 2
        text: picker.displayText
        font: picker.font
        color: picker.palette.buttonText
        verticalAlignment: TextInput.AlignVCenter
        enabled: false
        readOnly: true
    }

    // The picker itself takes no focus, so its open list takes it: there Escape closes the list, as it
    // does any pop-up.
    Connections {
        target: picker.popup
        function onOpened() {
            picker.popup.forceActiveFocus()
        }
    }

    indicator: Text {
        x: picker.width - width - picker.padding
        y: picker.topPadding + (picker.availableHeight - height) / 2
        text: "▾"
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: picker.palette.buttonText
    }

    delegate: ItemDelegate {
        id: entry
        required property int index
        required property string modelData

        width: ListView.view.width
        text: modelData
        font.family: picker.font.family
        font.pixelSize: picker.font.pixelSize
        font.weight: picker.currentIndex === index ? Font.DemiBold : Font.Normal
        highlighted: picker.highlightedIndex === index
        bottomInset: index === 0 ? 9 : 0
        bottomPadding: index === 0 ? 9 + topPadding : topPadding

        Rectangle {
            objectName: "pickerDivider"
            visible: entry.index === 0
            x: 8
            y: parent.height - 5
            width: parent.width - 16
            height: 1
            color: Theme.hairline
        }
    }
}
