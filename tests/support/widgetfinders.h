#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QWidget>

// What a user sees of a widget inside a container: shown within it.
[[nodiscard]] inline bool shownIn(const QWidget *widget, const QWidget *container)
{
    return widget && widget->isVisibleTo(container);
}

// The visible button with this text, or null.
[[nodiscard]] inline QAbstractButton *visibleButton(const QWidget &container, const QString &text)
{
    for (QAbstractButton *button : container.findChildren<QAbstractButton *>()) {
        if (button->text() == text && button->isVisibleTo(&container))
            return button;
    }
    return nullptr;
}

// Every T inside a visible top-level window: popups, prompts.
template <class T>
[[nodiscard]] QList<T *> inVisibleWindows()
{
    QList<T *> found;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            found.append(window->findChildren<T *>());
    }
    return found;
}

// Counts the events of one type that reach the objects it filters.
struct EventCount : QObject
{
    explicit EventCount(QEvent::Type counted)
        : type(counted)
    {
    }
    QEvent::Type type;
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == type;
        return false;
    }
};
