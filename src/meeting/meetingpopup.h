#pragma once

#include "sessionhooks.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

// The prompt that offers to take notes: a small floating panel in the
// top-right corner of the screen that never takes focus from the program
// the user is in. Only one is shown at a time; it has no timer and stays
// until answered, replaced, or closed.
class MeetingPopup : public QObject, public MeetingPromptHook
{
    Q_OBJECT

public:
    // Distance of the panel from the right and top edges of the screen's
    // available area.
    static constexpr int rightMargin = 4;
    static constexpr int topMargin = 2;

    explicit MeetingPopup(QObject *parent = nullptr);
    ~MeetingPopup() override;

    // The prompt of the application, made on first use.
    [[nodiscard]] static MeetingPopup &shared();

    // Replaces any prompt with one for `source`. Each action closes the
    // prompt first and then runs.
    void show(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss) override;
    void close() override;

    // The panel while a prompt is shown; null otherwise.
    [[nodiscard]] QWidget *panel() const { return m_panel; }

private:
    QPointer<QWidget> m_panel;
};
