#pragma once
// The engine's phase. Raw values are stable: 0 idle .. 4 done.
#include <QMetaType>

#include <optional>

enum class Phase : int { idle = 0, latency = 1, download = 2, upload = 3, done = 4 };

inline std::optional<Phase> phaseFromInt(int raw)
{
    if (raw < 0 || raw > 4)
        return std::nullopt;
    return static_cast<Phase>(raw);
}

// While a test runs: latency, download or upload.
inline bool isRunningPhase(Phase phase)
{
    return phase == Phase::latency || phase == Phase::download || phase == Phase::upload;
}

Q_DECLARE_METATYPE(Phase)
