#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QString>
#include <QVariantList>

#include "app/model/SenderController.h"
#include "app/shell/ShellPresenters.h"

namespace kelvora {

// The introduction's view of the controller: its pages, the live "source detected" line, the address hint
// and the login-item switch. The page index stays in the view.
class OnboardingModel final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the program")
    // Each page: {symbol, colors, title, text}.
    Q_PROPERTY(QVariantList pages READ pages CONSTANT)
    Q_PROPERTY(bool sourceDetected READ sourceDetected NOTIFY sourceLineChanged)
    Q_PROPERTY(QString sourceSymbol READ sourceSymbol NOTIFY sourceLineChanged)
    Q_PROPERTY(QString sourceText READ sourceText NOTIFY sourceLineChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)

  public:
    explicit OnboardingModel(SenderController& controller, QObject* parent = nullptr);

    QVariantList pages() const;
    bool sourceDetected() const { return sourceLine_.detected; }
    QString sourceSymbol() const { return QString::fromStdString(sourceLine_.symbol); }
    QString sourceText() const { return QString::fromStdString(sourceLine_.text); }
    bool launchAtLogin() const { return controller_.launchAtLogin(); }

    // The switch's write: the switch then shows what the system reports back.
    Q_INVOKABLE void setLaunchAtLogin(bool enabled);
    // Read anew whenever the page is built.
    Q_INVOKABLE QString addressHint() const;
    Q_INVOKABLE QString backTitle(int page) const;
    Q_INVOKABLE QString nextTitle(int page) const;
    Q_INVOKABLE void finish();

  signals:
    void sourceLineChanged();
    void launchAtLoginChanged();

  private:
    void updateSourceLine();

    SenderController& controller_;
    OnboardingSourceLine sourceLine_;
};

}  // namespace kelvora
