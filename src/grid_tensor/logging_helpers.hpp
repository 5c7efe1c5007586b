#pragma once
// Beside the fit, not in logging/: it reads the fit's working state, and logging/ stays below every fit.
// The run log records of one grid tensor fit: an event per applied move, the
// distribution of the per-sample f+ and f- values and a snapshot of every
// feature after each move, and the final state of every feature. A fit keeps
// them in a FitRecorder and sends them in one batch when it ends.
#include <cstdint>
#include <variant>
#include <vector>

#include "grid_tensor.hpp"
#include "grid_tensor/splitting.hpp"
#include "grid_tensor/state.hpp"
#include "logging/records.hpp"

namespace zun {

// `state` is the state after `action` was applied; `sse_before` its sse before.
logging::MoveEvent build_move_event(const GridTensorState& state, const FitAction& action, double sse_before,
                                    std::uint64_t pass);

// Linear interpolation between the order statistics around q (count - 1);
// NaN for no values.
double percentile(const std::vector<double>& values, double q);

logging::ComponentStats component_statistics(const std::vector<double>& values);

struct FComponentStatistics {
    std::uint64_t iter_no = 0;
    logging::ComponentStats f_plus;
    logging::ComponentStats f_minus;
};

FComponentStatistics f_component_statistics(const std::vector<double>& f_plus, const std::vector<double>& f_minus,
                                            std::uint64_t pass);

// Feature j of the state under fit, tagged with the pass that made it.
logging::ComponentState feature_snapshot(const GridTensorState& state, std::size_t j, std::uint64_t pass);
// Feature j of a fitted grid tensor.
logging::ComponentState final_feature_state(const GridTensor& grid_tensor, std::size_t j, std::uint64_t pass);

using FitRecordItem = std::variant<logging::MoveEvent, logging::ComponentState>;

// Sends the records with the thread's epoch and tree id: the items in order,
// then the final state of every feature of `fitted`, then the statistics. A
// missing context drops everything with one Warn line.
void emit_fit_records(std::vector<FitRecordItem> items, std::vector<FComponentStatistics> statistics,
                      const GridTensor& fitted, std::uint64_t last_pass);

// The records of one fit, made only while a run log is being written.
class FitRecorder {
public:
    // After each applied move: its event, the component statistics and a
    // snapshot of every feature.
    void record_move(const GridTensorState& state, const FitAction& action, double sse_before, std::uint64_t pass);
    // Once, after the fit; hands everything to emit_fit_records.
    void emit(const GridTensor& fitted, std::uint64_t last_pass);

    const std::vector<FitRecordItem>& items() const { return items_; }
    const std::vector<FComponentStatistics>& statistics() const { return statistics_; }

private:
    std::vector<FitRecordItem> items_;
    std::vector<FComponentStatistics> statistics_;
};

}  // namespace zun
