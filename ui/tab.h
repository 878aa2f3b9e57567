#pragma once
// The two tabs of the window, in the order the picker shows them; the
// text is also the segment's label.
#include <QString>

#include <array>

enum class Tab { test, history };

inline constexpr std::array<Tab, 2> allTabs{Tab::test, Tab::history};

inline QString tabTitle(Tab tab)
{
    return tab == Tab::test ? QStringLiteral("Test") : QStringLiteral("History");
}
