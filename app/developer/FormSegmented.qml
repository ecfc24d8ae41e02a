import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// A labelled choice among a few fixed options, all of them visible: the segments beside the label, whose words
// wrap onto more lines where that makes room, or below it when even its longest word leaves too little. The
// segments are never cut. Like the picker it shows what its model selects (nothing for a stored value outside
// the options) and reports only what the user picks.
GridLayout {
    id: root
    property string label
    property var options: []
    property int selectedIndex: -1
    property string help
    readonly property alias segments: control
    signal picked(int index)

    // The narrowest the label can wrap to: its longest word.
    readonly property real labelMinimumWidth: Math.ceil(Math.max(...root.label.split(" ").map(
        word => metrics.advanceWidth(word))))

    Layout.fillWidth: true
    columns: labelMinimumWidth + columnSpacing + control.implicitWidth <= width ? 2 : 1
    columnSpacing: 8
    rowSpacing: 6

    FontMetrics {
        id: metrics
        font: title.font
    }

    FormText {
        id: title
        text: root.label
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
        enabled: root.enabled
        opacity: root.enabled ? 1 : 0.5
    }

    SegmentedControl {
        id: control
        objectName: root.objectName + "Segments"
        options: root.options
        selectedIndex: root.selectedIndex
        Layout.maximumWidth: implicitWidth
        Layout.minimumWidth: root.columns === 2 ? implicitWidth : 0
        Layout.fillWidth: true
        Layout.alignment: root.columns === 2 ? Qt.AlignRight : Qt.AlignLeft
        ToolTip.visible: hover.hovered && root.help.length > 0
        ToolTip.text: root.help
        ToolTip.delay: 600
        onPicked: index => root.picked(index)

        HoverHandler {
            id: hover
        }
    }
}
