import QtQuick
import Kelvora.Ui

// Every live picture: aspect fit on black with rounded corners.
VideoItem {
    Accessible.role: Accessible.Graphic
    Accessible.name: "Videostream"
}
