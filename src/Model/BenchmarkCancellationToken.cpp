#include "Model/BenchmarkCancellationToken.h"

namespace korvalen {

void BenchmarkCancellationToken::reset()
{
    std::lock_guard guard(lock_);
    cancelled_ = false;
}

void BenchmarkCancellationToken::cancel()
{
    std::lock_guard guard(lock_);
    cancelled_ = true;
}

bool BenchmarkCancellationToken::isCancelled() const
{
    std::lock_guard guard(lock_);
    return cancelled_;
}

}  // namespace korvalen
