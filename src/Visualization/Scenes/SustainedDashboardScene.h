#pragma once

namespace korvalen::scene {

// Fill fraction (0.35...0.90) of meter `meter` of dashboard panel `index` at `time`: each panel runs at its
// own rate, neighbouring meters 0.8 radian apart.
double gpuMixedMeterLoad(double time, int index, int meter);
// Radius (3.2...4.7 points) of the heartbeat dot of dashboard panel `index` at `time`.
double gpuMixedHeartbeatRadius(double time, int index);

}  // namespace korvalen::scene
