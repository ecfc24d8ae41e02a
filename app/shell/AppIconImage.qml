import QtQuick
import Kelvora.Ui

// The program's icon at a given edge length: a blue rounded square with the sending symbol.
Rectangle {
    id: root
    property real size: 26

    width: size
    height: size
    radius: size * 0.225
    gradient: Gradient {
        GradientStop { position: 0.0; color: "#1287ff" }
        GradientStop { position: 1.0; color: "#8c4df2" }
    }

    Symbol {
        anchors.centerIn: parent
        name: "dot.radiowaves.left.and.right"
        color: "white"
        size: Math.round(root.size * 0.6)
    }
}
