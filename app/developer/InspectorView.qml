import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The dashboard's sidebar: every setting of the main output in one grouped form of five sections. It holds
// the application's controller without owning it and asks its host to open windows ("licenses").
Rectangle {
    id: root
    property QtObject controller
    signal openWindow(string id)

    implicitWidth: 360
    implicitHeight: 900
    color: Qt.rgba(Theme.windowBackground.r, Theme.windowBackground.g, Theme.windowBackground.b, 0.5)

    Flickable {
        id: flick
        objectName: "inspectorScroll"
        anchors.fill: parent
        contentWidth: width
        contentHeight: form.implicitHeight + 32
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: form
            x: 16
            y: 16
            width: flick.width - 32
            spacing: 20

            SourceChoiceForm {
                objectName: "sourceSection"
                controller: root.controller
            }
            PictureForm {
                objectName: "pictureSection"
                controller: root.controller
            }
            GeneralForm {
                objectName: "generalSection"
                controller: root.controller
            }
            DeveloperForm {
                objectName: "developerSection"
                controller: root.controller
            }
            InfoForm {
                objectName: "infoSection"
                controller: root.controller
                onOpenWindow: id => root.openWindow(id)
            }
        }
    }
}
