#include "forest/scaling_design.hpp"

#include <utility>

#include "parallel.hpp"

namespace zun {
namespace {

VectorView view_of(const std::vector<double>& values) { return VectorView::contiguous(values.data(), values.size()); }

}  // namespace

ScalingDesign::ScalingDesign(const VectorView& y, const TreeRows& rows) : rows_(rows), row_count_(y.size()) {
    parts_.reserve(rows.count());
    for (std::size_t p = 0; p < rows.count(); ++p) {
        const std::vector<double> part_y = rows.part(p).gather(y);
        parts_.emplace_back(view_of(part_y));
    }
}

void ScalingDesign::append_stage(const Components& components) {
    const VectorView plus = view_of(components.f_plus);
    std::vector<double> negated(components.f_minus.size());
    for (std::size_t i = 0; i < negated.size(); ++i) {
        negated[i] = -components.f_minus[i];
    }
    const VectorView minus = view_of(negated);
    // Each part's factor is its own: they grow side by side.
    parallel_map<bool>(parts_.size(), [&](std::size_t p) {
        const RowPart& part = rows_.part(p);
        const std::vector<std::vector<double>> columns = {part.gather(plus), part.gather(minus)};
        parts_[p].append_columns(columns);
        return true;
    });
}

std::optional<EpochScaling> ScalingDesign::solve(double ridge) const {
    if (parts_.size() == 1) {
        return solve_epoch_scaling(parts_.front().factor(), row_count_, ridge);
    }
    std::vector<TriangularFactor> factors;
    factors.reserve(parts_.size());
    for (const DesignQr& part : parts_) {
        factors.push_back(part.factor());
    }
    return solve_epoch_scaling(stack_factors(factors), row_count_, ridge);
}

std::vector<double> ScalingDesign::multiply(std::span<const double> w) const {
    if (rows_.whole()) {
        return parts_.front().multiply(w);
    }
    const std::vector<std::vector<double>> products =
        parallel_map<std::vector<double>>(parts_.size(), [&](std::size_t p) { return parts_[p].multiply(w); });
    std::vector<double> product(row_count_);
    for (std::size_t p = 0; p < parts_.size(); ++p) {
        const std::vector<std::size_t>& rows = rows_.part(p).rows();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            product[rows[i]] = products[p][i];
        }
    }
    return product;
}

}  // namespace zun
