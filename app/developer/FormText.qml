import QtQuick
import QtQuick.Layouts
import Kelvora.Ui

// The form's running text: wraps within the column, secondary for footers and captions. Always plain:
// device, NDI and file names come from outside, and markup in them must not be rendered or fetch anything.
Text {
    property bool secondary: false

    textFormat: Text.PlainText
    Layout.fillWidth: true
    wrapMode: Text.Wrap
    font.family: Theme.fontFamily
    font.pixelSize: secondary ? 11 : 13
    color: secondary ? Theme.secondaryText : Theme.primaryText
}
