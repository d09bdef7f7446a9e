// The status writer in a temporary root, with reporters standing in for the stages: a reader that
// reads the document as fast as it can never finds half of one, every field the page uses is there,
// and totals become rates.
#include "encode/app/status_writer.h"
#include "encode/core/status_board.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using nlohmann::json;

std::atomic<uint64_t> fakeBytes{0};

void fakeOutput(const void *, json &out)
{
    out["kind"] = "udp";
    out["name"] = "UDP 1";
    out["state"] = "ok";
    out["bytes"] = fakeBytes.load();
}

void fakeStream(const void *, json &out)
{
    out["on"] = true;
    out["encoded"] = fakeBytes.load() / 1000;
    out["bytes"] = fakeBytes.load();
}

TEST(StatusWriter, AReaderNeverSeesHalfADocumentAndTotalsBecomeRates)
{
    TempRoot root;
    root.write("/tmp/.keep", "");
    int output = StatusBoard_add(StatusSection::Output, fakeOutput, nullptr);
    int stream = StatusBoard_add(StatusSection::MainStream, fakeStream, nullptr);
    ASSERT_TRUE(StatusWriter_start());

    // 125 kB a second: 1000 kbit/s, 125 pictures a second.
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        while (feeding) {
            fakeBytes += 1250;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    json last;
    int documents = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
    while (std::chrono::steady_clock::now() < until) {
        std::string text = root.read("/tmp/encode.status");
        if (text.empty() && documents == 0) {
            continue; // none written yet; from the first on, an empty read would be half a file
        }
        json doc = json::parse(text, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << text;
        if (last.empty() || doc["time"] != last["time"]) {
            documents++;
        }
        last = doc;
    }
    feeding = false;
    feeder.join();
    StatusWriter_stop();
    StatusBoard_remove(output);
    StatusBoard_remove(stream);

    EXPECT_GE(documents, 2);
    for (const char *key : {"version", "pid", "time", "uptime_s", "cpu_percent", "input", "streams", "audio", "outputs"}) {
        EXPECT_TRUE(last.contains(key)) << key;
    }
    EXPECT_EQ(last["streams"]["second"]["on"], false);
    EXPECT_EQ(last["audio"]["on"], false);
    ASSERT_EQ(last["outputs"].size(), 1u);
    // A loaded machine paces the feeder unevenly: the rates only need to be of the right size.
    EXPECT_NEAR(last["outputs"][0]["kbps"].get<double>(), 1000, 400) << last.dump();
    EXPECT_NEAR(last["streams"]["main"]["kbps"].get<double>(), 1000, 400) << last.dump();
    EXPECT_NEAR(last["streams"]["main"]["fps"].get<double>(), 125, 50) << last.dump();
}

} // namespace
