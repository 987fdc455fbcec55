#pragma once

#include "sessionhooks.h"

#include <QObject>
#include <QPointer>
#include <QRegion>
#include <QWidget>

#include <functional>

class MeetingPopupView;

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

    // An area of the screen the prompt must leave free (the tray icon),
    // asked for each time a prompt is placed; an empty rectangle for none.
    void setKeepClear(std::function<QRect()> area) { m_keepClear = std::move(area); }

    // Where the panel takes clicks, in its own coordinates: the card and
    // the dismiss button. The shadow around them lets clicks through.
    [[nodiscard]] static QRegion inputRegion(const MeetingPopupView &view);

private:
    QPointer<QWidget> m_panel;
    std::function<QRect()> m_keepClear;
};
