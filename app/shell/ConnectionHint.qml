import QtQuick
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Shell

// The address to type in where a viewer does not find the sender, and where NDI is available, that NDI
// sources are received, with the vendor's page and its trademark notice.
ColumnLayout {
    id: root
    property ConnectionHintModel hint

    objectName: "connectionHint"
    spacing: 3
    Layout.fillWidth: true

    RowLayout {
        visible: root.hint !== null && root.hint.address.length > 0
        spacing: 6
        Symbol {
            name: "info.circle"
            color: Theme.secondaryText
            size: 12
        }
        Text {
            text: "Nicht gefunden? IP-Adresse in Tilvara eingeben:"
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
        }
        TextEdit {
            objectName: "hintAddress"
            readOnly: true
            selectByMouse: true
            text: root.hint ? root.hint.address : ""
            textFormat: TextEdit.PlainText
            font.family: Theme.monospaceFontFamily
            font.pixelSize: 11
            font.weight: Font.DemiBold
            color: Theme.secondaryText
        }
    }
    RowLayout {
        visible: root.hint !== null && root.hint.ndiAvailable
        spacing: 4
        Text {
            text: "NDI®-Quellen im Netz werden empfangen und weitergeschickt."
            font.family: Theme.fontFamily
            font.pixelSize: 11
            color: Theme.secondaryText
        }
        Text {
            objectName: "ndiLink"
            text: root.hint ? "<a href=\"" + root.hint.ndiLink + "\">" + root.hint.ndiLinkLabel + "</a>" : ""
            textFormat: Text.StyledText
            linkColor: Theme.tint
            font.family: Theme.fontFamily
            font.pixelSize: 11
            onLinkActivated: link => Qt.openUrlExternally(link)
        }
    }
    Text {
        visible: root.hint !== null && root.hint.ndiAvailable
        text: root.hint ? root.hint.trademarkNotice : ""
        textFormat: Text.PlainText
        font.family: Theme.fontFamily
        font.pixelSize: 10
        color: Theme.secondaryText
    }
}
