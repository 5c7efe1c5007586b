#include "grid_tensor/bin_lanes.hpp"

namespace zun {

BinLanes best_bin_lanes() {
    return __builtin_cpu_supports("avx512f") ? BinLanes::avx512 : BinLanes::portable;
}

}  // namespace zun
