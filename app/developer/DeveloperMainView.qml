import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The developer dashboard: a toolbar strip with the reference clock while the test picture is live, and
// below it the scrolling column of panels beside the inspector.
Rectangle {
    id: root
    property SenderController controller
    // The main window's preview flag; the preview panel counts for it while it is on screen.
    property PreviewVisibility previewVisibility
    // The inspector asks its host to open a window by its id ("licenses").
    signal openWindow(string id)

    implicitWidth: 1100
    implicitHeight: 800
    color: Theme.windowBackground

    DeveloperMainViewModel {
        id: dashboard
        controller: root.controller
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Item {
            objectName: "toolbar"
            implicitHeight: 40
            Layout.fillWidth: true

            Rectangle {
                objectName: "referenceClock"
                visible: dashboard.showsReferenceClock
                anchors.centerIn: parent
                implicitWidth: clockRow.implicitWidth + 24
                implicitHeight: clockRow.implicitHeight + 8
                radius: height / 2
                color: Qt.rgba(Theme.primaryText.r, Theme.primaryText.g, Theme.primaryText.b, 0.06)

                HoverHandler {
                    id: clockHover
                }
                ToolTip.visible: clockHover.hovered
                ToolTip.text: "Fotografiere diese Uhr zusammen mit dem iPhone: Die Differenz zur Uhr im Testbild ist die Glas-zu-Glas-Latenz."

                Row {
                    id: clockRow
                    anchors.centerIn: parent
                    spacing: 8
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Uhr Computer"
                        font.family: Theme.fontFamily
                        font.pixelSize: 11
                        font.weight: Font.DemiBold
                        color: Theme.secondaryText
                    }
                    LiveClock {
                        size: 17
                    }
                }
            }
        }
        Rectangle {
            implicitHeight: 1
            color: Theme.hairline
            Layout.fillWidth: true
        }

        RowLayout {
            spacing: 0
            Layout.fillWidth: true
            Layout.fillHeight: true

            ScrollView {
                id: scroll
                objectName: "panelColumn"
                contentWidth: availableWidth
                contentHeight: panels.implicitHeight + 40
                ScrollBar.vertical.policy: ScrollBar.AlwaysOn
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.minimumWidth: 600

                // The panels in their fixed order, 20 from every edge.
                ColumnLayout {
                    id: panels
                    x: 20
                    y: 20
                    width: scroll.availableWidth - 40
                    spacing: 16

                    PreviewPanel {
                        objectName: "previewPanel"
                        controller: root.controller
                        previewVisibility: root.previewVisibility
                    }
                    StreamTiersPanel {
                        objectName: "streamTiersPanel"
                        controller: root.controller
                    }
                    SimpleStreamPanel {
                        objectName: "simpleStreamPanel"
                        controller: root.controller
                    }
                    OutputsPanel {
                        objectName: "outputsPanel"
                        controller: root.controller
                    }
                    TierComparisonPanel {
                        objectName: "tierComparisonPanel"
                        controller: root.controller
                    }
                    RowLayout {
                        objectName: "metricsRow"
                        spacing: 12
                        Layout.fillWidth: true

                        Repeater {
                            model: dashboard.metricTiles
                            MetricTile {
                                required property var modelData
                                required property int index
                                objectName: "metricTile" + index
                                title: modelData.title
                                value: modelData.value
                                unit: modelData.unit
                                systemImage: modelData.symbol
                                tint: Theme.color(modelData.tint)
                            }
                        }
                    }
                    ClientsPanel {
                        objectName: "clientsPanel"
                        controller: root.controller
                    }
                    EncoderPanel {
                        objectName: "encoderPanel"
                        controller: root.controller
                    }
                }
            }
            Rectangle {
                implicitWidth: 1
                color: Theme.hairline
                Layout.fillHeight: true
            }
            InspectorView {
                objectName: "inspector"
                controller: root.controller
                Layout.preferredWidth: 350
                Layout.minimumWidth: 350
                Layout.maximumWidth: 350
                Layout.fillHeight: true
                onOpenWindow: id => root.openWindow(id)
            }
        }
    }
}
