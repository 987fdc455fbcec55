#pragma once

#include <QWidget>

#include <functional>

class QAbstractButton;

// The meeting prompt's card: the logo, "Meeting detected" over the source,
// a "Take notes" button and a small round dismiss button on its top-left
// corner, with room around it for the shadow. Its natural size is its
// size hint.
class PromptCard : public QWidget
{
    Q_OBJECT

public:
    PromptCard(const QString &source, std::function<void()> onTake, std::function<void()> onDismiss,
               QWidget *parent = nullptr);

    [[nodiscard]] QAbstractButton *takeButton() const { return m_take; }
    [[nodiscard]] QAbstractButton *dismissButton() const { return m_dismiss; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    [[nodiscard]] QRect cardRect() const;

    QWidget *m_card;
    QAbstractButton *m_take;
    QAbstractButton *m_dismiss;
};
