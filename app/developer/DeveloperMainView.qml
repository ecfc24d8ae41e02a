import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kelvora.Ui
import Kelvora.Developer

// The developer dashboard: the scrolling column of panels beside the inspector. The window that shows it
// puts the reference clock into its toolbar while `showsReferenceClock`.
Rectangle {
    id: root
    property SenderController controller
    // The main window's preview flag; the preview panel counts for it while it is on screen.
    property PreviewVisibility previewVisibility
    // The inspector asks its host to open a window by its id ("licenses").
    signal openWindow(string id)
    // The test picture is live.
    readonly property bool showsReferenceClock: dashboard.showsReferenceClock

    implicitWidth: 1100
    implicitHeight: 800
    color: Theme.windowBackground

    DeveloperMainViewModel {
        id: dashboard
        controller: root.controller
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

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

                    // By count: the figures are a new list on every status change, and tiles rebuilt that
                    // often would leave the row laying out freed tiles when the window is resized meanwhile.
                    Repeater {
                        model: dashboard.metricTiles.length
                        MetricTile {
                            required property int index
                            readonly property var modelData: dashboard.metricTiles[index] ?? ({}) // qmllint disable unqualified
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
