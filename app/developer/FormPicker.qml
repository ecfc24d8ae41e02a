import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// A labelled choice among fixed options. It shows the option its model selects (none for a stored value
// outside the options) and reports only what the user picks; it never writes a value back by itself.
RowLayout {
    id: root
    property string label
    property var options: []
    property int selectedIndex: -1
    property string help
    readonly property string shownText: box.displayText
    signal picked(int index)

    Layout.fillWidth: true
    spacing: 8

    FormText {
        text: root.label
        Layout.fillWidth: true
        enabled: root.enabled
    }

    ComboBox {
        id: box
        objectName: root.objectName + "Box"
        model: root.options
        currentIndex: root.selectedIndex
        Layout.preferredWidth: 170
        font.family: Theme.fontFamily
        font.pixelSize: 12
        ToolTip.visible: hovered && root.help.length > 0
        ToolTip.text: root.help
        ToolTip.delay: 600
        onActivated: index => {
            root.picked(index);
            // Whatever the model made of the pick is what shows.
            currentIndex = Qt.binding(() => root.selectedIndex);
        }
    }
}
