#pragma once

#include <cstddef>
#include <functional>

namespace korvalen {

// Builds large kernel inputs, and runs the bands of large products, on several threads. The
// generator is counter-based (value i depends on the seed and i alone), so slices filled apart give
// the same bits as one sequential fill.
// One process-wide WorkerPool of one worker per processor this process may use, started on first
// use (the timed loop's warm-up makes that call, so no thread starts inside a timed pass). After a
// pass of slices its threads are sent to sleep at once, unless the caller says another pass follows
// (the product of the inputs just built); after a product's parts they watch for the next
// iteration's inputs for at most 0.3 ms (see WorkerPool), then sleep.
namespace CPUInputPool {

// Calls part(begin, end) for disjoint slices covering [0, count), on the pool's threads and the
// calling one, and returns when all have returned. Slices start at multiples of 64 elements (whole
// cache lines and vector lanes) and hold at least 8,192 elements, below which a wake-up costs more
// than the share saves. A second caller while a pass is running, or a count too small to share,
// gets one slice on its own thread. With `passFollows` (the caller's next step is another pass, a
// product's bands), the threads watch for that pass instead of sleeping at once.
void forSlices(std::size_t count, const std::function<void(std::size_t begin, std::size_t end)>& part,
               bool passFollows = false);

// Calls task(part) once for every part in [0, parts), parts spread over the pool's threads and the
// calling one, each taken by whichever thread is free, and returns when all have returned; a second
// caller while a pass is running gets every part in order on its own thread. Fits
// `nn::BlasThreading::PartRunner`.
void forParts(int parts, const std::function<void(int part)>& task);

// The workers a pass may use (1 where the process may use a single processor).
int workerCount();

}  // namespace CPUInputPool

}  // namespace korvalen
