#include "logging/records.hpp"

#include <fmt/format.h>

#include "error.hpp"

namespace zun::logging {

const char* action_text(MoveAction action) {
    switch (action) {
        case MoveAction::Split: return "split";
        case MoveAction::Resplit: return "resplit";
        case MoveAction::Merge: return "merge";
    }
    throw InternalError(fmt::format("unknown MoveAction value {}", static_cast<unsigned>(action)));
}

const char* variant_text(ErrorVariant variant) {
    switch (variant) {
        case ErrorVariant::Train: return "train";
        case ErrorVariant::Test: return "test";
    }
    throw InternalError(fmt::format("unknown ErrorVariant value {}", static_cast<unsigned>(variant)));
}

}  // namespace zun::logging
