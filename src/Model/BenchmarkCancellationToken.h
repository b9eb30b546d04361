#pragma once

#include <mutex>

namespace korvalen {

// The stop request shared by the store (which sets it) and the engine and runners (which poll it
// between units of work). Each operation holds the lock for one load or store; nobody waits on it.
class BenchmarkCancellationToken {
public:
    BenchmarkCancellationToken() = default;
    BenchmarkCancellationToken(const BenchmarkCancellationToken&) = delete;
    BenchmarkCancellationToken& operator=(const BenchmarkCancellationToken&) = delete;

    void reset();
    void cancel();
    bool isCancelled() const;

private:
    mutable std::mutex lock_;
    bool cancelled_ = false;
};

}  // namespace korvalen
