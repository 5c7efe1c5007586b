#include "grid_tensor/params.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zun {
namespace {

using Json = nlohmann::ordered_json;

// Every field away from its default, with a present optional in both places
// an optional lives and text that needs escaping.
ZUNBoostedParams custom_params() {
    ZUNBoostedParams params;
    params.epochs = 3;
    params.decay = 0.9;
    params.sp_params.n_trees = 8;
    params.sp_params.tg_params.n_iter = 12;
    params.sp_params.tg_params.split_strategy_params = TopKSplits{3, false, 2, 0.5, 1e-7};
    params.sp_params.tg_params.refinement_strategy_params =
        RefinementStrategyParams{RefinementKind::Huber, 0.25, 0.01, 0.0, 0.0, 10.0};
    params.sp_params.tg_params.max_bins = 65536;
    params.sp_params.similarity_threshold = 0.3;
    params.sp_params.aggregation_method = Aggregation::GeometricMean;
    params.seed = 7;
    params.log_level = "debug";
    params.visualdb_path = "runs/a \"b\"\\c.db";
    params.row_partitions = 4;
    params.early_stopping = EarlyStopping{5, 0.25};
    params.scaling_ridge = 2.5;
    return params;
}

std::vector<std::string> keys_of(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

std::string indented(const std::string& text, int spaces) {
    const std::string pad(static_cast<std::size_t>(spaces), ' ');
    std::string out;
    for (const char c : text) {
        out += c;
        if (c == '\n') {
            out += pad;
        }
    }
    return out;
}

TEST(ParamsDefaults, BoostedParamsDefaultConstructorYieldsDocumentedDefaults) {
    const ZUNBoostedParams params;
    EXPECT_EQ(params.epochs, 5u);
    EXPECT_EQ(params.decay, 1.0);
    EXPECT_EQ(params.seed, 42u);
    EXPECT_EQ(params.log_level, "info");
    EXPECT_FALSE(params.visualdb_path.has_value());

    const StagePredictorParams& stage = params.sp_params;
    EXPECT_EQ(stage.n_trees, 100u);
    EXPECT_EQ(stage.similarity_threshold, 0.0);
    EXPECT_EQ(stage.aggregation_method, Aggregation::Combined);

    const GridTensorParams& grid = stage.tg_params;
    EXPECT_EQ(grid.n_iter, 25u);
    EXPECT_FALSE(grid.max_bins.has_value());
    ASSERT_TRUE(std::holds_alternative<RandomSplit>(grid.split_strategy_params));
    const auto& split = std::get<RandomSplit>(grid.split_strategy_params);
    EXPECT_EQ(split.split_try, 10u);
    EXPECT_EQ(split.colsample_bytree, 1.0);
    EXPECT_EQ(split.min_interval_samples, 1u);
    EXPECT_EQ(split.min_split_loss, 0.0);
    EXPECT_EQ(split.complexity_penalty, 0.0);

    const RefinementStrategyParams& refinement = grid.refinement_strategy_params;
    EXPECT_EQ(refinement.kind, RefinementKind::L2);
    EXPECT_EQ(refinement.alpha, 0.0);
    EXPECT_EQ(refinement.tilt_tau, 0.01);
    EXPECT_EQ(refinement.tilt_rho, 0.0);
    EXPECT_EQ(refinement.prior_sample_size, 0.0);
    EXPECT_EQ(refinement.update_clamp, std::numeric_limits<double>::infinity());
}

TEST(ParamsJson, DefaultGridTensorParamsHasNullMaxBinsAndUpdateClamp) {
    const std::string text = to_json(GridTensorParams{});
    const Json parsed = Json::parse(text);
    EXPECT_TRUE(parsed.at("max_bins").is_null());
    EXPECT_TRUE(parsed.at("refinement_strategy_params").at("update_clamp").is_null());
    EXPECT_EQ(parsed.at("split_strategy_params").dump(),
              R"({"RandomSplit":{"split_try":10,"colsample_bytree":1.0,"min_interval_samples":1,)"
              R"("min_split_loss":0.0,"complexity_penalty":0.0}})");
    EXPECT_EQ(text,
              R"({"n_iter":25,"split_strategy_params":{"RandomSplit":{"split_try":10,"colsample_bytree":1.0,)"
              R"("min_interval_samples":1,"min_split_loss":0.0,"complexity_penalty":0.0}},)"
              R"("refinement_strategy_params":{"kind":"L2","alpha":0.0,"tilt_tau":0.01,"tilt_rho":0.0,)"
              R"("prior_sample_size":0.0,"update_clamp":null},"max_bins":null})");
}

TEST(ParamsJson, BoostedParamsAreCompactAndInFieldOrder) {
    EXPECT_EQ(to_json(ZUNBoostedParams{}),
              R"({"epochs":5,"decay":1.0,"sp_params":{"n_trees":100,"tg_params":{"n_iter":25,)"
              R"("split_strategy_params":{"RandomSplit":{"split_try":10,"colsample_bytree":1.0,)"
              R"("min_interval_samples":1,"min_split_loss":0.0,"complexity_penalty":0.0}},)"
              R"("refinement_strategy_params":{"kind":"L2","alpha":0.0,"tilt_tau":0.01,"tilt_rho":0.0,)"
              R"("prior_sample_size":0.0,"update_clamp":null},"max_bins":null},"similarity_threshold":0.0,)"
              R"("aggregation_method":"Combined"},"seed":42,"log_level":"info","visualdb_path":null})");
    EXPECT_EQ(to_json(custom_params()),
              R"({"epochs":3,"decay":0.9,"sp_params":{"n_trees":8,"tg_params":{"n_iter":12,)"
              R"("split_strategy_params":{"TopKSplits":{"top_k":3,"must_fill_all_k":false,)"
              R"("min_interval_samples":2,"min_split_loss":0.5,"complexity_penalty":1e-07}},)"
              R"("refinement_strategy_params":{"kind":"Huber","alpha":0.25,"tilt_tau":0.01,"tilt_rho":0.0,)"
              R"("prior_sample_size":0.0,"update_clamp":10.0},"max_bins":65536},"similarity_threshold":0.3,)"
              R"("aggregation_method":"GeometricMean"},"seed":7,"log_level":"debug",)"
              R"("visualdb_path":"runs/a \"b\"\\c.db","row_partitions":4,)"
              R"("early_stopping":{"n_iter_no_change":5,"tol":0.25},"scaling_ridge":2.5})");
}

TEST(ParamsJson, NestedRecordsSerialiseAloneAsInsideTheirParent) {
    const ZUNBoostedParams params = custom_params();
    const Json whole = Json::parse(to_json(params));
    EXPECT_EQ(to_json(params.sp_params), whole.at("sp_params").dump());
    EXPECT_EQ(to_json(params.sp_params.tg_params), whole.at("sp_params").at("tg_params").dump());
}

TEST(ParamsJson, SplitStrategyIsTaggedByVariantNameWithFieldsInOrder) {
    struct Case {
        SplitStrategyParams strategy;
        std::string name;
        std::vector<std::string> keys;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {RandomSplit{7, 0.5, 3, 0.25, 2.0},
         "RandomSplit",
         {"split_try", "colsample_bytree", "min_interval_samples", "min_split_loss", "complexity_penalty"},
         R"({"RandomSplit":{"split_try":7,"colsample_bytree":0.5,"min_interval_samples":3,)"
         R"("min_split_loss":0.25,"complexity_penalty":2.0}})"},
        {RandomSplit{7, 0.5, 3, 0.25, 2.0, true},
         "RandomSplit",
         {"split_try", "colsample_bytree", "min_interval_samples", "min_split_loss", "complexity_penalty",
          "colsample_eligible"},
         R"({"RandomSplit":{"split_try":7,"colsample_bytree":0.5,"min_interval_samples":3,)"
         R"("min_split_loss":0.25,"complexity_penalty":2.0,"colsample_eligible":true}})"},
        {BestSplit{},
         "BestSplit",
         {"min_interval_samples", "min_split_loss", "complexity_penalty"},
         R"({"BestSplit":{"min_interval_samples":1,"min_split_loss":0.0,"complexity_penalty":0.0}})"},
        {BestSplit{4, 1.5, 0.75},
         "BestSplit",
         {"min_interval_samples", "min_split_loss", "complexity_penalty"},
         R"({"BestSplit":{"min_interval_samples":4,"min_split_loss":1.5,"complexity_penalty":0.75}})"},
        {TopKSplits{},
         "TopKSplits",
         {"top_k", "must_fill_all_k", "min_interval_samples", "min_split_loss", "complexity_penalty"},
         R"({"TopKSplits":{"top_k":10,"must_fill_all_k":true,"min_interval_samples":1,)"
         R"("min_split_loss":0.0,"complexity_penalty":0.0}})"},
        {TopKSplits{5, false, 9, 0.125, 3.0},
         "TopKSplits",
         {"top_k", "must_fill_all_k", "min_interval_samples", "min_split_loss", "complexity_penalty"},
         R"({"TopKSplits":{"top_k":5,"must_fill_all_k":false,"min_interval_samples":9,)"
         R"("min_split_loss":0.125,"complexity_penalty":3.0}})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        GridTensorParams params;
        params.split_strategy_params = c.strategy;
        const Json strategy = Json::parse(to_json(params)).at("split_strategy_params");
        EXPECT_EQ(keys_of(strategy), std::vector<std::string>{c.name});
        EXPECT_EQ(keys_of(strategy.at(c.name)), c.keys);
        EXPECT_EQ(strategy.dump(), c.expected);
    }
}

TEST(ParamsJson, EnumerationsAreWrittenAsVariantNames) {
    struct AggregationCase {
        Aggregation value;
        const char* name;
    };
    for (const auto& c : {AggregationCase{Aggregation::Mean, "Mean"},
                          AggregationCase{Aggregation::GeometricMean, "GeometricMean"},
                          AggregationCase{Aggregation::Combined, "Combined"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(name_of(c.value), c.name);
        StagePredictorParams params;
        params.aggregation_method = c.value;
        EXPECT_EQ(Json::parse(to_json(params)).at("aggregation_method"), c.name);
        EXPECT_NE(debug_text(params).find(std::string("    aggregation_method: ") + c.name + ",\n"),
                  std::string::npos);
    }

    struct KindCase {
        RefinementKind value;
        const char* name;
    };
    for (const auto& c : {KindCase{RefinementKind::L2, "L2"}, KindCase{RefinementKind::Huber, "Huber"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(name_of(c.value), c.name);
        GridTensorParams params;
        params.refinement_strategy_params.kind = c.value;
        EXPECT_EQ(Json::parse(to_json(params)).at("refinement_strategy_params").at("kind"), c.name);
        EXPECT_NE(debug_text(params).find(std::string("        kind: ") + c.name + ",\n"), std::string::npos);
    }
}

TEST(ParamsJson, FloatsAreShortestRoundTripAndNonFiniteAreNull) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        bool finite;
    };
    const std::vector<Case> cases = {
        {0.1 + 0.2, true}, {5e-324, true}, {1.7976931348623157e308, true}, {-0.0, true},
        {1e-7, true},      {nan, false},   {inf, false},                   {-inf, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ZUNBoostedParams params;
        params.decay = c.value;
        params.sp_params.tg_params.refinement_strategy_params.alpha = c.value;
        const Json parsed = Json::parse(to_json(params));
        const Json& decay = parsed.at("decay");
        const Json& alpha = parsed.at("sp_params").at("tg_params").at("refinement_strategy_params").at("alpha");
        if (!c.finite) {
            EXPECT_TRUE(decay.is_null());
            EXPECT_TRUE(alpha.is_null());
            continue;
        }
        ASSERT_TRUE(decay.is_number_float());
        EXPECT_EQ(decay.get<double>(), c.value);
        EXPECT_EQ(std::signbit(decay.get<double>()), std::signbit(c.value));
        EXPECT_EQ(alpha.get<double>(), c.value);
    }
    ZUNBoostedParams params;
    params.decay = 0.1 + 0.2;
    EXPECT_NE(to_json(params).find(R"("decay":0.30000000000000004,)"), std::string::npos);
}

TEST(ParamsText, ComplexityPenaltyAloneChangesJsonAndDebugText) {
    const std::vector<SplitStrategyParams> baselines = {RandomSplit{}, BestSplit{}, TopKSplits{}};
    for (const SplitStrategyParams& baseline : baselines) {
        SCOPED_TRACE(baseline.index());
        ZUNBoostedParams before;
        before.sp_params.tg_params.split_strategy_params = baseline;
        ZUNBoostedParams after = before;
        std::visit([](auto& split) { split.complexity_penalty = 0.75; },
                   after.sp_params.tg_params.split_strategy_params);

        EXPECT_NE(to_json(after), to_json(before));
        EXPECT_NE(to_json(after).find(R"("complexity_penalty":0.75)"), std::string::npos);
        EXPECT_NE(debug_text(after), debug_text(before));
        EXPECT_NE(debug_text(after).find("                complexity_penalty: 0.75,\n"), std::string::npos);
    }
}

TEST(ParamsText, DefaultBoostedParamsDebugText) {
    const std::string expected = R"(ZUNBoostedParams {
    epochs: 5,
    decay: 1.0,
    sp_params: StagePredictorParams {
        n_trees: 100,
        tg_params: GridTensorParams {
            n_iter: 25,
            split_strategy_params: RandomSplit {
                split_try: 10,
                colsample_bytree: 1.0,
                min_interval_samples: 1,
                min_split_loss: 0.0,
                complexity_penalty: 0.0,
            },
            refinement_strategy_params: RefinementStrategyParams {
                kind: L2,
                alpha: 0.0,
                tilt_tau: 0.01,
                tilt_rho: 0.0,
                prior_sample_size: 0.0,
                update_clamp: inf,
            },
            max_bins: None,
        },
        similarity_threshold: 0.0,
        aggregation_method: Combined,
    },
    seed: 42,
    log_level: "info",
    visualdb_path: None,
})";
    EXPECT_EQ(debug_text(ZUNBoostedParams{}), expected);
}

TEST(ParamsText, PresentOptionalsRenderAsSomeBlocks) {
    const std::string expected = R"txt(ZUNBoostedParams {
    epochs: 3,
    decay: 0.9,
    sp_params: StagePredictorParams {
        n_trees: 8,
        tg_params: GridTensorParams {
            n_iter: 12,
            split_strategy_params: TopKSplits {
                top_k: 3,
                must_fill_all_k: false,
                min_interval_samples: 2,
                min_split_loss: 0.5,
                complexity_penalty: 1e-7,
            },
            refinement_strategy_params: RefinementStrategyParams {
                kind: Huber,
                alpha: 0.25,
                tilt_tau: 0.01,
                tilt_rho: 0.0,
                prior_sample_size: 0.0,
                update_clamp: 10.0,
            },
            max_bins: Some(
                65536,
            ),
        },
        similarity_threshold: 0.3,
        aggregation_method: GeometricMean,
    },
    seed: 7,
    log_level: "debug",
    visualdb_path: Some(
        "runs/a \"b\"\\c.db",
    ),
    row_partitions: Some(
        4,
    ),
    early_stopping: EarlyStopping {
        n_iter_no_change: 5,
        tol: 0.25,
    },
    scaling_ridge: 2.5,
})txt";
    EXPECT_EQ(debug_text(custom_params()), expected);
}

TEST(ParamsText, BestSplitRendersAsItsOwnBlock) {
    GridTensorParams params;
    params.split_strategy_params = BestSplit{4, 1.5, 0.75};
    const std::string expected = R"(GridTensorParams {
    n_iter: 25,
    split_strategy_params: BestSplit {
        min_interval_samples: 4,
        min_split_loss: 1.5,
        complexity_penalty: 0.75,
    },
    refinement_strategy_params: RefinementStrategyParams {
        kind: L2,
        alpha: 0.0,
        tilt_tau: 0.01,
        tilt_rho: 0.0,
        prior_sample_size: 0.0,
        update_clamp: inf,
    },
    max_bins: None,
})";
    EXPECT_EQ(debug_text(params), expected);
}

TEST(ParamsText, NestedRecordsRenderAloneAsInsideTheirParentShiftedLeft) {
    const ZUNBoostedParams params = custom_params();
    const std::string whole = debug_text(params);
    EXPECT_NE(whole.find("    sp_params: " + indented(debug_text(params.sp_params), 4) + ",\n"), std::string::npos);
    EXPECT_NE(whole.find("        tg_params: " + indented(debug_text(params.sp_params.tg_params), 8) + ",\n"),
              std::string::npos);
}

TEST(ParamsText, TextFieldsAreEscapedOntoOneLine) {
    ZUNBoostedParams params;
    params.log_level = "a\"b\\c\nd\te";
    EXPECT_NE(debug_text(params).find("\n    log_level: \"a\\\"b\\\\c\\nd\\te\",\n"), std::string::npos);
    EXPECT_EQ(Json::parse(to_json(params)).at("log_level"), params.log_level);
}

TEST(ParamsJson, PathThatIsNotUtf8StillYieldsValidJson) {
    ZUNBoostedParams params;
    params.visualdb_path = std::string("run\xff.db");
    std::string text;
    ASSERT_NO_THROW(text = to_json(params));
    const Json parsed = Json::parse(text);
    EXPECT_TRUE(parsed.at("visualdb_path").is_string());
    EXPECT_EQ(parsed.at("seed"), 42);
}

TEST(ParamsText, NonFiniteFloatsInDebugText) {
    ZUNBoostedParams params;
    params.decay = std::numeric_limits<double>::quiet_NaN();
    params.sp_params.similarity_threshold = -std::numeric_limits<double>::infinity();
    const std::string text = debug_text(params);
    EXPECT_NE(text.find("\n    decay: NaN,\n"), std::string::npos);
    EXPECT_NE(text.find("\n        similarity_threshold: -inf,\n"), std::string::npos);
}

}  // namespace
}  // namespace zun
