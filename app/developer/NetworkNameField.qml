import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The name the main output announces. Typing stays in the field; Return or leaving the field commits.
ColumnLayout {
    id: root
    property QtObject controller

    Layout.fillWidth: true
    spacing: 4

    SenderNameField {
        id: nameModel
        controller: root.controller
    }

    FormText {
        secondary: true
        text: "Name im Netzwerk"
    }
    TextField {
        id: field
        objectName: "senderNameField"
        Layout.fillWidth: true
        text: nameModel.text
        placeholderText: nameModel.placeholder
        font.family: Theme.fontFamily
        onTextEdited: nameModel.text = text
        onAccepted: nameModel.commit()
        onActiveFocusChanged: nameModel.focused = activeFocus
    }

    // Each time the field comes on screen it shows the stored name.
    onVisibleChanged: if (visible)
        nameModel.load()
    Component.onCompleted: nameModel.load()
}
