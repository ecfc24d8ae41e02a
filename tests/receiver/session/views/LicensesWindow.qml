import QtQuick
import Kelvora.Ui

// The licence list as the licences window shows it.
LicensesView {
    width: 560
    height: 640
}
