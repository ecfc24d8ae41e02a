#include "app/developer/ClientsPanelModel.h"

#include <algorithm>

namespace kelvora {

ClientsPanelModel::ClientsPanelModel(QObject* parent)
    : PanelViewModel(parent), clock_([] { return std::chrono::system_clock::now(); }) {}

void ClientsPanelModel::disconnectClient(const QString& id) {
    SenderController* c = controller();
    if (!c || !c->pipeline()) {
        return;
    }
    const std::string token = id.toStdString();
    const auto& clients = c->status().clients;
    // Only a viewer the panel shows: a click that arrives after its row went has nobody to send away.
    if (std::any_of(clients.begin(), clients.end(),
                    [&](const ClientStatus& client) { return client.id == token; })) {
        c->pipeline()->disconnectClient(token);
    }
}

void ClientsPanelModel::refresh() {
    SenderController* c = controller();
    std::vector<ClientRowText> rows;
    if (c) {
        const auto now = clock_();
        for (const ClientStatus& client : c->status().clients) {
            rows.push_back(clientRow(client, c->settings().studioMode, now));
        }
    }
    if (!replace(rows_, std::move(rows))) {
        return;
    }
    rowList_.clear();
    for (const ClientRowText& row : rows_) {
        QVariantList pills;
        for (const PillText& pill : row.pills) {
            pills.append(pillMap(pill));
        }
        QVariantList metrics;
        for (const ClientMetricText& metric : row.metrics) {
            metrics.append(QVariantMap{
                {"label", qtext(metric.label)},
                {"value", qtext(metric.value)},
                {"unit", qtext(metric.unit)},
                {"color", metric.color ? qtext(std::string(colorTokenName(*metric.color))) : QString()}});
        }
        rowList_.append(QVariantMap{{"id", qtext(row.id)},
                                    {"name", qtext(row.name)},
                                    {"symbol", qtext(row.symbol)},
                                    {"isMediaConnected", row.isMediaConnected},
                                    {"caption", qtext(row.caption)},
                                    {"pills", pills},
                                    {"metrics", metrics}});
    }
    emit rowsChanged();
}

}  // namespace kelvora
