import QtQuick
import Kelvora.Ui

// A group of the picker's list: a header above, rows on a card, an explaining footer below.
Column {
    id: root
    property string header
    property string footer
    default property alias rows: card.data

    spacing: 6

    Text {
        visible: root.header.length > 0
        leftPadding: 14
        text: root.header
        font.family: Theme.fontFamily
        font.pixelSize: 11
        font.weight: Font.DemiBold
        color: Theme.secondaryText
    }
    Rectangle {
        width: root.width
        height: card.height
        radius: 10
        color: Theme.cardBackground
        Column {
            id: card
            width: parent.width
        }
    }
    Text {
        visible: root.footer.length > 0
        width: root.width
        leftPadding: 14
        rightPadding: 14
        text: root.footer
        wrapMode: Text.Wrap
        font.family: Theme.fontFamily
        font.pixelSize: 11
        color: Theme.secondaryText
    }
}
