import QtQuick
import QtQuick.Window
import Kelvora.Ui

// A symbol by its name, tinted; unknown names show the fallback glyph.
Image {
    id: root
    property string name
    property color color: Theme.primaryText
    property int size: 16

    width: size
    height: size
    sourceSize.width: Math.ceil(size * Screen.devicePixelRatio)
    sourceSize.height: Math.ceil(size * Screen.devicePixelRatio)
    source: name.length > 0 ? "image://symbol/" + name + "/" + root.color.toString().substring(1) : ""
    fillMode: Image.PreserveAspectFit
    smooth: true
}
