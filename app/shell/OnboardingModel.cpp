#include "app/shell/OnboardingModel.h"

#include <QStringList>
#include <QVariantMap>

#include "app/presenters/ViewHelpers.h"

namespace kelvora {

OnboardingModel::OnboardingModel(SenderController& controller, QObject* parent)
    : QObject(parent), controller_(controller), sourceLine_(onboardingSourceLine(controller.status())) {
    connect(&controller_, &SenderController::statusChanged, this, &OnboardingModel::updateSourceLine);
    connect(&controller_, &SenderController::launchAtLoginChanged, this,
            &OnboardingModel::launchAtLoginChanged);
}

QVariantList OnboardingModel::pages() const {
    QVariantList list;
    for (const OnboardingPage& page : onboardingPages()) {
        QStringList colors;
        for (const std::string& color : page.colors) {
            colors << QString::fromStdString(color);
        }
        list.append(QVariantMap{{QStringLiteral("symbol"), QString::fromStdString(page.symbol)},
                                {QStringLiteral("colors"), colors},
                                {QStringLiteral("title"), QString::fromStdString(page.title)},
                                {QStringLiteral("text"), QString::fromStdString(page.text)}});
    }
    return list;
}

void OnboardingModel::setLaunchAtLogin(bool enabled) {
    controller_.setLaunchAtLogin(enabled);
    // The switch may have moved without the stored state changing: it must spring back.
    emit launchAtLoginChanged();
}

QString OnboardingModel::addressHint() const {
    return QString::fromStdString(onboardingAddressHint(localIPv4Addresses()));
}

QString OnboardingModel::backTitle(int page) const {
    return QString::fromStdString(onboardingBackTitle(page));
}

QString OnboardingModel::nextTitle(int page) const {
    return QString::fromStdString(onboardingNextTitle(page));
}

void OnboardingModel::finish() {
    controller_.finishOnboarding();
}

void OnboardingModel::updateSourceLine() {
    OnboardingSourceLine line = onboardingSourceLine(controller_.status());
    if (line != sourceLine_) {
        sourceLine_ = std::move(line);
        emit sourceLineChanged();
    }
}

}  // namespace kelvora
