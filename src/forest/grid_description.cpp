#include "forest/grid_description.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

namespace zun {
namespace {

// nlohmann::json keeps object keys in a sorted map.
using Json = nlohmann::json;

Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json nested(const std::vector<std::vector<double>>& lists) {
    Json outer = Json::array();
    for (const auto& list : lists) {
        Json inner = Json::array();
        for (const double value : list) {
            inner.push_back(number(value));
        }
        outer.push_back(std::move(inner));
    }
    return outer;
}

Json intervals(const std::vector<std::vector<Interval>>& lists) {
    Json outer = Json::array();
    for (const auto& list : lists) {
        Json inner = Json::array();
        for (const Interval& interval : list) {
            inner.push_back(Json::array({number(interval.first), number(interval.second)}));
        }
        outer.push_back(std::move(inner));
    }
    return outer;
}

}  // namespace

std::string grid_description_json(const GridTensor& grid_tensor) {
    Json description = Json::object();
    description["grid_values"] = nested(mean_factor(grid_tensor));
    description["splits"] = nested(grid_tensor.splits);
    description["intervals"] = intervals(grid_tensor.intervals);
    description["backbone_values"] = nested(grid_tensor.backbone_values);
    description["tilt_values"] = nested(grid_tensor.tilt_values);
    description["lambda_plus"] = number(grid_tensor.lambda_plus);
    description["lambda_minus"] = number(grid_tensor.lambda_minus);
    return description.dump();
}

}  // namespace zun
