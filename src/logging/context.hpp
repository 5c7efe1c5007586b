#pragma once
// The per-thread logging context: which epoch and which tree the records a
// thread produces belong to. Fitters set it around their work; records read it.
#include <cstdint>
#include <optional>
#include <utility>

namespace zun::logging {

std::optional<std::uint64_t> current_epoch();
std::optional<std::uint64_t> current_tree_id();

void set_epoch(std::optional<std::uint64_t> epoch);
void set_tree_id(std::optional<std::uint64_t> tree_id);

// Sets the epoch for the duration of `action`, then clears it (it does not
// restore an outer value), also when `action` throws.
template <class Action>
decltype(auto) with_epoch(std::uint64_t epoch, Action&& action) {
    struct Clear {
        ~Clear() { set_epoch(std::nullopt); }
    } clear;
    set_epoch(epoch);
    return std::forward<Action>(action)();
}

template <class Action>
decltype(auto) with_tree_id(std::uint64_t tree_id, Action&& action) {
    struct Clear {
        ~Clear() { set_tree_id(std::nullopt); }
    } clear;
    set_tree_id(tree_id);
    return std::forward<Action>(action)();
}

}  // namespace zun::logging
