#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class SessionController;

// The meeting detector as the session sees it. The session writes absent
// into `detectedApp` once the user has answered the prompt, and keeps the
// detector quiet while a session is open.
class MeetingWatch : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    [[nodiscard]] virtual std::optional<QString> detectedApp() const = 0;
    virtual void setDetectedApp(std::optional<QString> app) = 0;
    [[nodiscard]] virtual bool suppressed() const = 0;
    virtual void setSuppressed(bool suppressed) = 0;

Q_SIGNALS:
    // Emitted for every publication, also when the same name is published again.
    void detectedAppChanged();
};

// The floating live panel.
class LivePanelHook
{
public:
    virtual ~LivePanelHook() = default;
    // Brings the panel up showing `state`: expanded when asked, otherwise in
    // the form it has.
    virtual void show(SessionController *state, bool expanded) = 0;
    // Orders the panel out and resets it to the capsule form.
    virtual void hide() = 0;
    [[nodiscard]] virtual bool expanded() const = 0;
};

// The prompt that offers to take notes of a detected meeting.
class MeetingPromptHook
{
public:
    virtual ~MeetingPromptHook() = default;
    // Replaces any prompt; exactly one of the actions runs when the user answers.
    virtual void show(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss) = 0;
    virtual void close() = 0;
};

// Copies a sign-in made in the web page into the auth session; fire and forget.
class SignInHarvestHook
{
public:
    virtual ~SignInHarvestHook() = default;
    virtual void harvest() = 0;
};

// The main window with the web application.
class MainWindowHook
{
public:
    virtual ~MainWindowHook() = default;
    // Loads the address in the main window's web view.
    virtual void load(const QUrl &url) = 0;
    // Opens the main window and brings the application to the front.
    virtual void open() = 0;
};
