// What a recording of a published stream must begin with: both sequence headers before any frame
// (the metadata aside), then a key frame. The first frame's time stamp goes to `firstTs`.
#pragma once

#include "tests/support/flv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

inline void expectCleanStart(const std::vector<flv::Tag> &tags, const std::string &which, uint32_t *firstTs = nullptr)
{
    std::vector<flv::Tag> av;
    std::copy_if(tags.begin(), tags.end(), std::back_inserter(av), [](const flv::Tag &t) { return t.type != 18; });
    ASSERT_GE(av.size(), 3u) << which;
    EXPECT_TRUE(flv::isAvcHeader(av[0]) || flv::isAvcHeader(av[1])) << which;
    EXPECT_TRUE(flv::isAacHeader(av[0]) || flv::isAacHeader(av[1])) << which;
    auto first = std::find_if(av.begin(), av.end(), flv::isVideoFrame);
    ASSERT_NE(first, av.end()) << which;
    EXPECT_TRUE(flv::isKeyFrame(*first)) << which;
    if (firstTs != nullptr) {
        *firstTs = first->ts;
    }
}
