// Values that move by themselves: the --animate syntax and the rule that
// moves one value over time.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "IdecSim.h"

namespace idecsim {

// DEVADDR=KIND:ARGS as --animate spells it, e.g. D100=ramp:0:1000:1s,
// D101=counter:1:500ms, D102=square:0:1:2s, D103=walk:500:10:200ms.
// Durations are N ms or N s, from 10 ms to 1 hour. False with a message that
// names the text and the form expected.
bool ParseAnimation(const std::string& text, Animation* out, std::string* error);

// Moves one value. Not thread-safe; the simulator calls it under its lock.
class Animator {
public:
    // max: the largest value of the unit (1 for a bit); startMs: when the
    // animation's clock starts.
    Animator(const Animation& a, uint32_t max, uint64_t startMs);

    const Animation& Settings() const { return a_; }
    // The value the animation starts with; false when it keeps the current one.
    bool Initial(uint32_t* value) const;
    // The value to store at nowMs, given the value stored now; false when
    // nothing is to change. A counter or walk that fell behind catches up by
    // at most a thousand steps.
    bool Next(uint64_t nowMs, uint32_t current, std::mt19937& rng, uint32_t* value);
    void Restart(uint64_t startMs);

private:
    Animation a_;
    uint32_t max_;
    uint64_t start_;
    uint64_t steps_ = 0;   // counter, walk: intervals applied
    bool hasLast_ = false; // ramp, square: a value was stored
    uint32_t last_ = 0;
};

} // namespace idecsim
