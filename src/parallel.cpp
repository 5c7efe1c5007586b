#include "parallel.hpp"

namespace zun {
namespace {

thread_local bool prepared = false;

struct WarmUp {};

}  // namespace

void prepare_worker_thread() noexcept {
    if (prepared) {
        return;
    }
    try {
        throw WarmUp{};
    } catch (const WarmUp&) {
    }
    prepared = true;
}

bool worker_thread_prepared() noexcept { return prepared; }

}  // namespace zun
