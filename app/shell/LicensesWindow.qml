import QtQuick
import Kelvora.Ui

// Window "licenses": the components the program is made of.
Window {
    objectName: "licensesWindow"
    title: "Lizenzen"
    width: 520
    height: 560
    color: Theme.windowBackground

    LicensesView {
        anchors.fill: parent
    }
}
