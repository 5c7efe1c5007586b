#include "grid_tensor/params.hpp"

#include <cmath>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "error.hpp"
#include "float_format.hpp"

namespace zun {

const char* name_of(Aggregation aggregation) {
    switch (aggregation) {
        case Aggregation::Mean: return "Mean";
        case Aggregation::GeometricMean: return "GeometricMean";
        case Aggregation::Combined: return "Combined";
    }
    throw InternalError(fmt::format("unknown Aggregation value {}", static_cast<std::uint32_t>(aggregation)));
}

const char* name_of(RefinementKind kind) {
    switch (kind) {
        case RefinementKind::L2: return "L2";
        case RefinementKind::Huber: return "Huber";
    }
    throw InternalError(fmt::format("unknown RefinementKind value {}", static_cast<std::uint32_t>(kind)));
}

namespace {

using Json = nlohmann::ordered_json;

// ---------------------------------------------------------------- JSON form

// Non-finite floats have no JSON literal; null keeps the document valid.
Json json_of(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json json_of(const RandomSplit& split) {
    Json fields = Json::object();
    fields["split_try"] = split.split_try;
    fields["colsample_bytree"] = json_of(split.colsample_bytree);
    fields["min_interval_samples"] = split.min_interval_samples;
    fields["min_split_loss"] = json_of(split.min_split_loss);
    fields["complexity_penalty"] = json_of(split.complexity_penalty);
    // Only when set, so logs of fits without it read as before.
    if (split.colsample_eligible) {
        fields["colsample_eligible"] = true;
    }
    return fields;
}

Json json_of(const BestSplit& split) {
    Json fields = Json::object();
    fields["min_interval_samples"] = split.min_interval_samples;
    fields["min_split_loss"] = json_of(split.min_split_loss);
    fields["complexity_penalty"] = json_of(split.complexity_penalty);
    return fields;
}

Json json_of(const TopKSplits& split) {
    Json fields = Json::object();
    fields["top_k"] = split.top_k;
    fields["must_fill_all_k"] = split.must_fill_all_k;
    fields["min_interval_samples"] = split.min_interval_samples;
    fields["min_split_loss"] = json_of(split.min_split_loss);
    fields["complexity_penalty"] = json_of(split.complexity_penalty);
    return fields;
}

const char* variant_name(const RandomSplit&) { return "RandomSplit"; }
const char* variant_name(const BestSplit&) { return "BestSplit"; }
const char* variant_name(const TopKSplits&) { return "TopKSplits"; }

// The variant is tagged by an object with the variant name as its only key.
Json json_of(const SplitStrategyParams& strategy) {
    return std::visit(
        [](const auto& split) {
            Json tagged = Json::object();
            tagged[variant_name(split)] = json_of(split);
            return tagged;
        },
        strategy);
}

Json json_of(const RefinementStrategyParams& refinement) {
    Json fields = Json::object();
    fields["kind"] = name_of(refinement.kind);
    fields["alpha"] = json_of(refinement.alpha);
    fields["tilt_tau"] = json_of(refinement.tilt_tau);
    fields["tilt_rho"] = json_of(refinement.tilt_rho);
    fields["prior_sample_size"] = json_of(refinement.prior_sample_size);
    fields["update_clamp"] = json_of(refinement.update_clamp);
    return fields;
}

Json json_of(const GridTensorParams& params) {
    Json fields = Json::object();
    fields["n_iter"] = params.n_iter;
    fields["split_strategy_params"] = json_of(params.split_strategy_params);
    fields["refinement_strategy_params"] = json_of(params.refinement_strategy_params);
    fields["max_bins"] = params.max_bins ? Json(*params.max_bins) : Json(nullptr);
    return fields;
}

Json json_of(const StagePredictorParams& params) {
    Json fields = Json::object();
    fields["n_trees"] = params.n_trees;
    fields["tg_params"] = json_of(params.tg_params);
    fields["similarity_threshold"] = json_of(params.similarity_threshold);
    fields["aggregation_method"] = name_of(params.aggregation_method);
    return fields;
}

Json json_of(const ZUNBoostedParams& params) {
    Json fields = Json::object();
    fields["epochs"] = params.epochs;
    fields["decay"] = json_of(params.decay);
    fields["sp_params"] = json_of(params.sp_params);
    fields["seed"] = params.seed;
    fields["log_level"] = params.log_level;
    fields["visualdb_path"] = params.visualdb_path ? Json(*params.visualdb_path) : Json(nullptr);
    // Only when set: run logs of fits without parts keep their parameters' text.
    if (params.row_partitions) {
        fields["row_partitions"] = *params.row_partitions;
    }
    if (params.early_stopping) {
        fields["early_stopping"] = Json::object();
        fields["early_stopping"]["n_iter_no_change"] = params.early_stopping->n_iter_no_change;
        fields["early_stopping"]["tol"] = json_of(params.early_stopping->tol);
    }
    if (params.scaling_ridge != 0.0) {
        fields["scaling_ridge"] = json_of(params.scaling_ridge);
    }
    return fields;
}

// Compact form. A path that is not valid UTF-8 gets replacement characters
// rather than an exception: the run log must not end a fit.
std::string compact(const Json& document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// ---------------------------------------------------------------- debug text

std::string padding(int indent) { return std::string(static_cast<std::size_t>(indent), ' '); }

// Collects the lines of one record block; the opening line is not indented
// because it continues the line of the enclosing field.
class RecordText {
public:
    RecordText(std::string_view type_name, int indent) : indent_(indent), text_(type_name) { text_ += " {\n"; }

    int field_indent() const { return indent_ + 4; }

    RecordText& field(std::string_view name, const std::string& value) {
        text_ += padding(field_indent());
        text_ += name;
        text_ += ": ";
        text_ += value;
        text_ += ",\n";
        return *this;
    }

    std::string finish() const { return text_ + padding(indent_) + "}"; }

private:
    int indent_;
    std::string text_;
};

// Every value renders with the indent of the line it starts on, so nested
// blocks know where to put their closing brace.
std::string debug_of(std::uint64_t value, int /*indent*/) { return std::to_string(value); }
std::string debug_of(std::uint32_t value, int /*indent*/) { return std::to_string(value); }
std::string debug_of(bool value, int /*indent*/) { return value ? "true" : "false"; }
std::string debug_of(double value, int /*indent*/) { return format_debug(value); }
std::string debug_of(Aggregation value, int /*indent*/) { return name_of(value); }
std::string debug_of(RefinementKind value, int /*indent*/) { return name_of(value); }

// Line breaks and tabs are escaped too, so a field never spans lines.
std::string debug_of(const std::string& text, int /*indent*/) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default: quoted += c; break;
        }
    }
    return quoted + "\"";
}

template <typename T>
std::string debug_of(const std::optional<T>& value, int indent) {
    if (!value) {
        return "None";
    }
    return "Some(\n" + padding(indent + 4) + debug_of(*value, indent + 4) + ",\n" + padding(indent) + ")";
}

std::string debug_of(const RandomSplit& split, int indent) {
    RecordText record("RandomSplit", indent);
    const int inner = record.field_indent();
    record.field("split_try", debug_of(split.split_try, inner))
        .field("colsample_bytree", debug_of(split.colsample_bytree, inner))
        .field("min_interval_samples", debug_of(split.min_interval_samples, inner))
        .field("min_split_loss", debug_of(split.min_split_loss, inner))
        .field("complexity_penalty", debug_of(split.complexity_penalty, inner));
    if (split.colsample_eligible) {
        record.field("colsample_eligible", debug_of(split.colsample_eligible, inner));
    }
    return record.finish();
}

std::string debug_of(const BestSplit& split, int indent) {
    RecordText record("BestSplit", indent);
    const int inner = record.field_indent();
    record.field("min_interval_samples", debug_of(split.min_interval_samples, inner))
        .field("min_split_loss", debug_of(split.min_split_loss, inner))
        .field("complexity_penalty", debug_of(split.complexity_penalty, inner));
    return record.finish();
}

std::string debug_of(const TopKSplits& split, int indent) {
    RecordText record("TopKSplits", indent);
    const int inner = record.field_indent();
    record.field("top_k", debug_of(split.top_k, inner))
        .field("must_fill_all_k", debug_of(split.must_fill_all_k, inner))
        .field("min_interval_samples", debug_of(split.min_interval_samples, inner))
        .field("min_split_loss", debug_of(split.min_split_loss, inner))
        .field("complexity_penalty", debug_of(split.complexity_penalty, inner));
    return record.finish();
}

std::string debug_of(const SplitStrategyParams& strategy, int indent) {
    return std::visit([indent](const auto& split) { return debug_of(split, indent); }, strategy);
}

std::string debug_of(const RefinementStrategyParams& refinement, int indent) {
    RecordText record("RefinementStrategyParams", indent);
    const int inner = record.field_indent();
    record.field("kind", debug_of(refinement.kind, inner))
        .field("alpha", debug_of(refinement.alpha, inner))
        .field("tilt_tau", debug_of(refinement.tilt_tau, inner))
        .field("tilt_rho", debug_of(refinement.tilt_rho, inner))
        .field("prior_sample_size", debug_of(refinement.prior_sample_size, inner))
        .field("update_clamp", debug_of(refinement.update_clamp, inner));
    return record.finish();
}

std::string debug_of(const GridTensorParams& params, int indent) {
    RecordText record("GridTensorParams", indent);
    const int inner = record.field_indent();
    record.field("n_iter", debug_of(params.n_iter, inner))
        .field("split_strategy_params", debug_of(params.split_strategy_params, inner))
        .field("refinement_strategy_params", debug_of(params.refinement_strategy_params, inner))
        .field("max_bins", debug_of(params.max_bins, inner));
    return record.finish();
}

std::string debug_of(const StagePredictorParams& params, int indent) {
    RecordText record("StagePredictorParams", indent);
    const int inner = record.field_indent();
    record.field("n_trees", debug_of(params.n_trees, inner))
        .field("tg_params", debug_of(params.tg_params, inner))
        .field("similarity_threshold", debug_of(params.similarity_threshold, inner))
        .field("aggregation_method", debug_of(params.aggregation_method, inner));
    return record.finish();
}

std::string debug_of(const EarlyStopping& stopping, int indent) {
    RecordText record("EarlyStopping", indent);
    const int inner = record.field_indent();
    record.field("n_iter_no_change", debug_of(stopping.n_iter_no_change, inner))
        .field("tol", debug_of(stopping.tol, inner));
    return record.finish();
}

std::string debug_of(const ZUNBoostedParams& params, int indent) {
    RecordText record("ZUNBoostedParams", indent);
    const int inner = record.field_indent();
    record.field("epochs", debug_of(params.epochs, inner))
        .field("decay", debug_of(params.decay, inner))
        .field("sp_params", debug_of(params.sp_params, inner))
        .field("seed", debug_of(params.seed, inner))
        .field("log_level", debug_of(params.log_level, inner))
        .field("visualdb_path", debug_of(params.visualdb_path, inner));
    if (params.row_partitions) {
        record.field("row_partitions", debug_of(params.row_partitions, inner));
    }
    if (params.early_stopping) {
        record.field("early_stopping", debug_of(*params.early_stopping, inner));
    }
    if (params.scaling_ridge != 0.0) {
        record.field("scaling_ridge", debug_of(params.scaling_ridge, inner));
    }
    return record.finish();
}

}  // namespace

std::string to_json(const GridTensorParams& params) { return compact(json_of(params)); }
std::string to_json(const StagePredictorParams& params) { return compact(json_of(params)); }
std::string to_json(const ZUNBoostedParams& params) { return compact(json_of(params)); }

std::string debug_text(const GridTensorParams& params) { return debug_of(params, 0); }
std::string debug_text(const StagePredictorParams& params) { return debug_of(params, 0); }
std::string debug_text(const ZUNBoostedParams& params) { return debug_of(params, 0); }

}  // namespace zun
