#include "logging/context.hpp"

namespace zun::logging {
namespace {

struct Context {
    std::optional<std::uint64_t> epoch;
    std::optional<std::uint64_t> tree_id;
};

Context& this_thread_context() {
    thread_local Context context;
    return context;
}

}  // namespace

std::optional<std::uint64_t> current_epoch() { return this_thread_context().epoch; }
std::optional<std::uint64_t> current_tree_id() { return this_thread_context().tree_id; }
void set_epoch(std::optional<std::uint64_t> epoch) { this_thread_context().epoch = epoch; }
void set_tree_id(std::optional<std::uint64_t> tree_id) { this_thread_context().tree_id = tree_id; }

}  // namespace zun::logging
