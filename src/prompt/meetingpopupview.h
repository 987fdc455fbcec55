#pragma once

#include <QWidget>

#include <functional>

class QAbstractButton;
class QLabel;

// The content of the meeting prompt: a card with the logo, "Meeting
// detected", the source and "Take notes", a round dismiss button on its
// top-left corner, and the transparent room around the card that its shadow
// and that button need. Draws only; the actions are the caller's.
class MeetingPopupView : public QWidget
{
    Q_OBJECT

public:
    MeetingPopupView(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss,
                     QWidget *parent = nullptr);

    static inline const QString title = QStringLiteral("Meeting detected");
    static inline const QString takeText = QStringLiteral("Take notes");
    static inline const QString dismissToolTip = QStringLiteral("Dismiss");
    static constexpr qreal cardRadius = 14;

    [[nodiscard]] QString source() const { return m_source; }
    [[nodiscard]] QAbstractButton *takeButton() const { return m_take; }
    [[nodiscard]] QAbstractButton *dismissButton() const { return m_dismiss; }
    // The card itself, in this widget's coordinates.
    [[nodiscard]] QRect cardGeometry() const;
    // Where the dismiss button sits: on the card's top-left corner.
    [[nodiscard]] QRect dismissGeometry() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QString m_source;
    QWidget *m_card = nullptr;
    QAbstractButton *m_take = nullptr;
    QAbstractButton *m_dismiss = nullptr;
};
