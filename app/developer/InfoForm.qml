import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// "Info": what a user types into a viewer that does not find the sender by itself.
FormCard {
    id: root
    property QtObject controller
    signal openWindow(string id)

    header: "Info"

    readonly property InfoFormModel section: InfoFormModel {
        controller: root.controller
    }

    component ValueRow: RowLayout {
        id: valueRow
        property string label
        property string value
        property color tint: Theme.primaryText
        Layout.fillWidth: true
        // The label keeps to one line: a wrapping label's height follows its width, and the row, laid out
        // once at a narrower width, kept the value centred on that taller label, a row or two below its own.
        FormText {
            text: valueRow.label
            color: valueRow.tint
            wrapMode: Text.NoWrap
            elide: Text.ElideRight
            Layout.alignment: Qt.AlignTop
        }
        Text {
            objectName: "value"
            Layout.alignment: Qt.AlignTop | Qt.AlignRight
            text: valueRow.value
            textFormat: Text.PlainText
            color: valueRow.tint
            font.family: Theme.fontFamily
            font.pixelSize: 13
        }
    }

    ValueRow {
        objectName: "controlPortRow"
        label: "Steuer-Port"
        value: root.section.controlPort
    }
    RowLayout {
        objectName: "addressRow"
        Layout.fillWidth: true
        FormText {
            text: "IP-Adresse"
            wrapMode: Text.NoWrap
            elide: Text.ElideRight
            Layout.alignment: Qt.AlignTop
            HoverHandler {
                id: addressHover
            }
            ToolTip.visible: addressHover.hovered
            ToolTip.text: "Findet ein iPhone/iPad den Computer nicht automatisch (manche WLANs blockieren Bonjour), diese Adresse in der App unter „Per IP-Adresse“ eingeben."
            ToolTip.delay: 600
        }
        TextEdit {
            objectName: "addressList"
            text: root.section.addressText
            readOnly: true
            selectByMouse: true
            textFormat: TextEdit.PlainText
            horizontalAlignment: TextEdit.AlignRight
            // A text edit reports its size late; the row takes it from the laid-out text.
            Layout.preferredWidth: contentWidth
            Layout.preferredHeight: contentHeight
            Layout.alignment: Qt.AlignTop | Qt.AlignRight
            color: Theme.primaryText
            font.family: Theme.monospaceFontFamily
            font.pixelSize: 13
        }
    }
    ValueRow {
        objectName: "hevcRow"
        label: "HEVC in Hardware"
        value: root.section.hevcHardware
    }
    ValueRow {
        objectName: "networkRow"
        visible: root.section.networkError.length > 0
        label: "Netzwerk"
        value: root.section.networkError
        tint: Theme.color("red")
    }
    ValueRow {
        objectName: "versionRow"
        label: "Version"
        value: root.section.version
    }
    Button {
        objectName: "licensesButton"
        text: "Lizenzen …"
        onClicked: root.openWindow("licenses")
    }
}
