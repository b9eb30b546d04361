#pragma once

#include "Platform/Foundation/MonotonicClock.h"

#include <QWidget>

#include <algorithm>
#include <initializer_list>
#include <span>
#include <utility>

namespace korvalen {

// A control and whether it is to be enabled.
using EnabledControl = std::pair<QWidget*, bool>;

// Enables and disables controls together. Qt hands the focus of a control it disables to the next
// one in the tab chain, whatever that one does: a later Space presses it, typed letters replace its
// text. Here a focused control that is disabled hands its focus instead to the first of `next`
// that is usable once all are set; the last of `next` is one that always is.
inline void setEnabledHandingFocus(std::span<const EnabledControl> controls, std::initializer_list<QWidget*> next)
{
    const auto disabled = [&](const QWidget* widget) {
        return std::any_of(controls.begin(), controls.end(),
                           [&](const EnabledControl& c) { return !c.second && c.first == widget; });
    };
    for (const auto& [control, enabled] : controls)
        if (enabled) control->setEnabled(true);
    // The window's own focus, which moves as well while another window (a run's scene) is active.
    QWidget* focused = controls.empty() ? nullptr : controls.front().first->window()->focusWidget();
    if (focused && disabled(focused)) {
        for (QWidget* candidate : next)
            if (candidate->isEnabled() && candidate->isVisibleTo(candidate->window()) && !disabled(candidate)) {
                candidate->setFocus(Qt::OtherFocusReason);
                break;
            }
    }
    for (const auto& [control, enabled] : controls)
        if (!enabled) control->setEnabled(false);
}

// A click on a button, check box or pop-up list under `root` does its one action and leaves the
// keyboard where the user was typing: a control that took it would be pressed again by the next
// typed Space, or pick an item by the next letter. Tab still reaches each of them; text fields, lists
// and tables keep taking focus on a click, which people click to type, select or copy. Such a click
// first has the input method hand over the word it is still composing, as a change of focus would.
void takeFocusFromTabOnly(QWidget* root);

// The clock that bounds the wait for an input method's repeat of a word a click handed over; tests
// hand in their own. A default clock is the system's.
void setCompositionRepeatClock(MonotonicClock clock);

}  // namespace korvalen
