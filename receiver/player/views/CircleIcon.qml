import QtQuick
import Kelvora.Ui

// The round face of the player's buttons: a white symbol on dark glass. Only the circle takes clicks.
Item {
    id: root
    property string symbol
    property string accessibleName
    signal clicked

    implicitWidth: 40
    implicitHeight: 40
    Accessible.role: Accessible.Button
    Accessible.name: accessibleName

    containmentMask: QtObject {
        function contains(point: point): bool {
            const dx = point.x - root.width / 2
            const dy = point.y - root.height / 2
            return dx * dx + dy * dy <= root.width * root.width / 4
        }
    }

    Rectangle {
        anchors.fill: parent
        radius: width / 2
        color: Qt.rgba(0.11, 0.11, 0.12, tap.pressed ? 0.75 : 0.58)
        border.color: Qt.rgba(1, 1, 1, 0.12)
        border.width: 1
    }
    Symbol {
        anchors.centerIn: parent
        name: root.symbol
        color: "white"
        size: 17
    }
    TapHandler {
        id: tap
        onTapped: root.clicked()
    }
}
