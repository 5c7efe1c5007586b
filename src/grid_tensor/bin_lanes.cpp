#include "grid_tensor/bin_lanes.hpp"

namespace zun {

bool bin_lanes_available(BinLanes lanes) {
    switch (lanes) {
        case BinLanes::portable:
            return true;
        case BinLanes::avx:
            return __builtin_cpu_supports("avx");
        case BinLanes::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

BinLanes best_bin_lanes() {
    for (const BinLanes lanes : {BinLanes::avx512, BinLanes::avx}) {
        if (bin_lanes_available(lanes)) {
            return lanes;
        }
    }
    return BinLanes::portable;
}

}  // namespace zun
