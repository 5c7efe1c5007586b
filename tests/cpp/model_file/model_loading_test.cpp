#include "model_file/model_loading.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "grid_tensor_builder.hpp"
#include "model_file/codec.hpp"

namespace zun {
namespace {

std::vector<StagePredictor> small_model() {
    StagePredictor stage;
    stage.primary_grid_tensor = grid_tensor({{{0.5}, {1.0, 2.0}, {0.1, -0.1}}, {{}, {1.5}, {0.0}}}, 1.25, 0.75);
    stage.grid_tensors = {stage.primary_grid_tensor};
    stage.scaling_plus = 2.0;
    return {stage, stage};
}

std::string description_of(const LoadResult& result, LoadFailure::Kind kind) {
    const auto* failure = std::get_if<LoadFailure>(&result);
    if (failure == nullptr) {
        return "loaded";
    }
    return failure->kind == kind ? failure->description : "a failure of the other kind: " + failure->description;
}

// Loads from the read end of a pipe that a thread fills with `bytes` and
// closes; a writer that the reader leaves behind sees EPIPE and stops.
LoadResult load_from_pipe(const std::vector<std::uint8_t>& bytes) {
    int ends[2];
    if (::pipe(ends) != 0) {
        ADD_FAILURE() << std::strerror(errno);
        return LoadFailure{LoadFailure::Kind::Read, "no pipe"};
    }
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = ::write(ends[1], bytes.data() + done, bytes.size() - done);
            if (written <= 0) {
                break;
            }
            done += static_cast<std::size_t>(written);
        }
        ::close(ends[1]);
    });
    LoadResult result = load_model_file("/dev/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);
    writer.join();
    return result;
}

class ModelLoading : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(ModelLoading, ARegularFileMayHoldBytesAfterTheModel) {
    const std::string file = (std::filesystem::temp_directory_path() / "zun_model_loading_test.zun").string();
    std::vector<std::uint8_t> bytes = encode_model(small_model());
    bytes.insert(bytes.end(), 5000, 0xee);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    const LoadResult loaded = load_model_file(file);
    std::filesystem::remove(file);
    ASSERT_TRUE(std::holds_alternative<std::vector<StagePredictor>>(loaded));
    EXPECT_EQ(std::get<std::vector<StagePredictor>>(loaded), small_model());
}

TEST_F(ModelLoading, APipeThatEndsWithTheModelLoads) {
    // Larger than two reads of 64 KiB, so the decoding is retried as the data arrives.
    std::vector<StagePredictor> model;
    for (int i = 0; i < 300; ++i) {
        model.push_back(small_model()[0]);
    }
    const std::vector<std::uint8_t> bytes = encode_model(model);
    ASSERT_GT(bytes.size(), 2u * 64 * 1024);
    const LoadResult loaded = load_from_pipe(bytes);
    ASSERT_TRUE(std::holds_alternative<std::vector<StagePredictor>>(loaded)) << description_of(loaded, LoadFailure::Kind::Decode);
    EXPECT_EQ(std::get<std::vector<StagePredictor>>(loaded), model);
}

TEST_F(ModelLoading, InputThatIsNotARegularFileMustEndWithTheModel) {
    const std::vector<std::uint8_t> model = encode_model(small_model());
    std::vector<std::uint8_t> one_more = model;
    one_more.push_back(0);
    std::vector<std::uint8_t> much_more = model;
    much_more.resize(model.size() + (1 << 20), 0x5a);
    std::vector<std::uint8_t> truncated(model.begin(), model.end() - 1);
    const std::string goes_on = "the input goes on after the model's " + std::to_string(model.size()) +
                                " bytes; only a regular file may hold bytes after the model";
    EXPECT_EQ(description_of(load_from_pipe(one_more), LoadFailure::Kind::Decode), goes_on);
    EXPECT_EQ(description_of(load_from_pipe(much_more), LoadFailure::Kind::Decode), goes_on);
    EXPECT_EQ(description_of(load_from_pipe(truncated), LoadFailure::Kind::Decode), "io error: unexpected end of file");
    EXPECT_EQ(description_of(load_model_file("/dev/zero"), LoadFailure::Kind::Decode),
              "the input goes on after the model's 8 bytes; only a regular file may hold bytes after the model");
    EXPECT_EQ(description_of(load_model_file("/dev/null"), LoadFailure::Kind::Decode),
              "io error: unexpected end of file");
}

TEST_F(ModelLoading, ReadFailuresAreReportedAsSuch) {
    EXPECT_EQ(description_of(load_model_file("/nonexistent/model.zun"), LoadFailure::Kind::Read),
              std::strerror(ENOENT));
    EXPECT_EQ(description_of(load_model_file("/"), LoadFailure::Kind::Read), std::strerror(EISDIR));
}

}  // namespace
}  // namespace zun
