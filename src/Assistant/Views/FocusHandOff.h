#pragma once

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

}  // namespace korvalen
