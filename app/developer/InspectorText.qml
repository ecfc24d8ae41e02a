import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// The form's running text: wraps within the column, secondary for footers and captions.
Text {
    property bool secondary: false

    Layout.fillWidth: true
    wrapMode: Text.Wrap
    font.family: Theme.fontFamily
    font.pixelSize: secondary ? 11 : 13
    color: secondary ? Theme.secondaryText : Theme.primaryText
}
