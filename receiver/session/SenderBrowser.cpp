#include "receiver/session/SenderBrowser.h"

#include "core/Log.h"
#include "core/PeerText.h"
#include "receiver/session/SenderRecords.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <map>

namespace kelvora {

namespace {

struct CollatorCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};

// One collator per thread: ICU collators are not to be shared between threads while comparing.
UCollator* fileBrowserCollator() {
    thread_local std::unique_ptr<UCollator, CollatorCloser> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* opened = ucol_open("", &status);
        if (U_FAILURE(status)) {
            return std::unique_ptr<UCollator, CollatorCloser>();
        }
        ucol_setAttribute(opened, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
        ucol_setAttribute(opened, UCOL_STRENGTH, UCOL_TERTIARY, &status);
        return std::unique_ptr<UCollator, CollatorCloser>(opened);
    }();
    return collator.get();
}

}  // namespace

std::shared_ptr<SenderBrowser> SenderBrowser::create(std::string serviceType) {
    return std::shared_ptr<SenderBrowser>(new SenderBrowser(std::move(serviceType)));
}

SenderBrowser::SenderBrowser(std::string serviceType)
    : queue_(std::make_shared<SerialQueue>(SerialQueue::labelFor("browser"))),
      serviceType_(std::move(serviceType)) {}

SenderBrowser::~SenderBrowser() {
    // Members go with us; the Avahi side ends on the queue (DnsSdBrowser takes care of that).
    restart_.cancel();
}

void SenderBrowser::setOnChange(ChangeHandler handler) {
    queue_->sync([&] { onChange_ = std::move(handler); });
}

void SenderBrowser::setOnPermissionDenied(PermissionDeniedHandler handler) {
    queue_->sync([&] { onPermissionDenied_ = std::move(handler); });
}

void SenderBrowser::start() {
    std::weak_ptr<SenderBrowser> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock(); self && !self->browser_) {
            self->startBrowsing();
        }
    });
}

void SenderBrowser::stop() {
    std::weak_ptr<SenderBrowser> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            self->restart_.cancel();
            self->browser_.reset();
        }
    });
}

void SenderBrowser::startBrowsing() {
    browser_ = std::make_unique<DnsSdBrowser>(queue_, serviceType_);
    std::weak_ptr<SenderBrowser> weak = weak_from_this();
    DnsSdBrowser* browser = browser_.get();
    // Handlers of a browser that has since been replaced must not speak for the current one.
    browser_->setResultsHandler([weak, browser](const std::vector<DnsSdService>& services) {
        if (auto self = weak.lock(); self && self->browser_.get() == browser && self->onChange_) {
            self->onChange_(rows(services));
        }
    });
    browser_->setStatusHandler([weak, browser](const DnsSdBrowser::Status& status) {
        if (auto self = weak.lock(); self && self->browser_.get() == browser) {
            self->handleStatus(status);
        }
    });
    browser_->start();
}

void SenderBrowser::handleStatus(const DnsSdBrowser::Status& status) {
    const std::string description = status.error ? status.error->text() : "Avahi-Dienst nicht erreichbar";
    switch (status.state) {
        case DnsSdBrowser::State::browsing:
            break;
        case DnsSdBrowser::State::waiting:
            if (status.error && status.error->isPermissionDenied() && onPermissionDenied_) {
                onPermissionDenied_();
            }
            ViewerLog::network().info("Bonjour-Suche wartet: {}", description);
            break;
        case DnsSdBrowser::State::failed:
            ViewerLog::network().error("Bonjour-Suche fehlgeschlagen: {}", description);
            if (status.error && status.error->isPermissionDenied() && onPermissionDenied_) {
                onPermissionDenied_();
            }
            browser_.reset();
            scheduleRestart();
            break;
    }
}

void SenderBrowser::scheduleRestart() {
    std::weak_ptr<SenderBrowser> weak = weak_from_this();
    restart_ = queue_->after(restartDelay, [weak] {
        if (auto self = weak.lock(); self && !self->browser_) {
            self->startBrowsing();
        }
    });
}

std::vector<DiscoveredSender> SenderBrowser::rows(const std::vector<DnsSdService>& services) {
    std::map<std::string, DiscoveredSender> byID;
    for (const auto& service : services) {
        auto announcement = ServiceAnnouncement::fromTxtRecord(service.txt);
        if (!announcement) {
            continue;
        }
        // Any host on the network can announce: its texts are cleaned before a row shows or logs them. The
        // endpoint keeps the instance name as it is, since that names the service to resolve.
        announcement = cleanedAnnouncement(std::move(*announcement));
        DiscoveredSender row;
        row.id = announcement->senderID;
        row.name = peerText(service.name);
        row.endpoint = NetworkEndpoint::service(service.name, service.type, service.domain, service.address,
                                                service.port);
        row.announcement = std::move(*announcement);
        row.isDirect = false;
        byID.emplace(row.id, std::move(row));  // the first of a sender id stays
    }
    std::vector<DiscoveredSender> sorted;
    sorted.reserve(byID.size());
    for (auto& [id, row] : byID) {
        sorted.push_back(std::move(row));
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const DiscoveredSender& a, const DiscoveredSender& b) {
        return nameOrder(a.name, b.name);
    });
    return sorted;
}

bool SenderBrowser::nameOrder(const std::string& a, const std::string& b) {
    UCollator* collator = fileBrowserCollator();
    if (!collator) {
        return a < b;
    }
    UErrorCode status = U_ZERO_ERROR;
    const auto result = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                         static_cast<int32_t>(b.size()), &status);
    return U_SUCCESS(status) ? result == UCOL_LESS : a < b;
}

}  // namespace kelvora
