import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui

// A label with − and + beside it. The stored value is shown as the caller words it, even outside the range
// (a viewer's tuning may have stored it); a press asks for one new value inside the range through
// `stepped`, and never for one the user did not choose: "+" is off at or above the top, "−" at or below the
// bottom. The caller writes the value; nothing here holds a copy that could be written back.
RowLayout {
    id: root
    property string text
    property int value
    property int from: 0
    property int to: 100
    property int stepSize: 1

    signal stepped(int value)

    function clamped(candidate) {
        return Math.min(Math.max(candidate, root.from), root.to);
    }

    spacing: 8
    Layout.fillWidth: true

    Text {
        objectName: "stepperLabel"
        text: root.text
        font.family: Theme.fontFamily
        font.pixelSize: 13
        color: root.enabled ? Theme.primaryText : Theme.secondaryText
        elide: Text.ElideRight
        Layout.fillWidth: true
    }

    Button {
        objectName: "stepperDown"
        text: "−"
        flat: true
        autoRepeat: false
        enabled: root.value > root.from
        implicitWidth: 28
        Accessible.name: "Verringern"
        onClicked: root.stepped(root.clamped(root.value - root.stepSize))
    }

    Button {
        objectName: "stepperUp"
        text: "+"
        flat: true
        autoRepeat: false
        enabled: root.value < root.to
        implicitWidth: 28
        Accessible.name: "Erhöhen"
        onClicked: root.stepped(root.clamped(root.value + root.stepSize))
    }
}
