import QtQuick
import Kelvora.Ui

// A capsule with a dot and a title in one colour. While `pulsing` the dot swells and fades back and forth
// every 0.9 s, also when pulsing starts after the badge appeared; it stands still otherwise.
Item {
    id: root
    property string title
    property color color: Theme.color("gray")
    property bool pulsing: false

    implicitWidth: row.implicitWidth + 20
    implicitHeight: row.implicitHeight + 10

    Rectangle {
        anchors.fill: parent
        radius: height / 2
        color: Qt.rgba(root.color.r, root.color.g, root.color.b, 0.16)
    }

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 6

        Rectangle {
            id: dot
            objectName: "badgeDot"
            width: 8
            height: 8
            radius: 4
            anchors.verticalCenter: parent.verticalCenter
            color: root.color
        }
        Text {
            objectName: "badgeTitle"
            text: root.title
            font.family: Theme.fontFamily
            font.pixelSize: 11
            font.bold: true
            font.letterSpacing: 0.5
            color: root.color
        }
    }

    SequentialAnimation {
        objectName: "badgePulse"
        running: root.pulsing && root.visible
        loops: Animation.Infinite
        onRunningChanged: {
            if (!running) {
                dot.scale = 1.0
                dot.opacity = 1.0
            }
        }

        ParallelAnimation {
            NumberAnimation { target: dot; property: "scale"; to: 1.35; duration: 900; easing.type: Easing.InOutQuad }
            NumberAnimation { target: dot; property: "opacity"; to: 0.6; duration: 900; easing.type: Easing.InOutQuad }
        }
        ParallelAnimation {
            NumberAnimation { target: dot; property: "scale"; to: 1.0; duration: 900; easing.type: Easing.InOutQuad }
            NumberAnimation { target: dot; property: "opacity"; to: 1.0; duration: 900; easing.type: Easing.InOutQuad }
        }
    }
}
