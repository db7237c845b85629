// The small owners the lean programs build with: a growing array and a text built in place.
#include <gtest/gtest.h>

#include <string>

#include "common/heap_array.h"
#include "common/text_buffer.h"
#include "common/unique_bstr.h"
#include "tests/support/fake_session.h"
#include "tests/support/malloc_spy.h"

namespace plovane {
namespace {

TEST(TextBufferTest, WhatDoesNotFitIsLeftOffAndNothingIsWrittenBeyond) {
    struct Guarded {
        text_buffer<8> text;
        wchar_t after[4] = {L'g', L'g', L'g', L'g'};
    } guarded;
    guarded.text.append(L"hello").append(L' ').append(L"world");
    EXPECT_STREQ(guarded.text.c_str(), L"hello w");
    EXPECT_EQ(guarded.text.length(), 7u);
    guarded.text.append(L"more").append_number(12345);
    EXPECT_STREQ(guarded.text.c_str(), L"hello w");
    EXPECT_EQ(std::wstring(guarded.after, 4), L"gggg");

    text_buffer<32> number;
    EXPECT_STREQ(number.append(L"n=").append_number(4294967295UL).c_str(), L"n=4294967295");
    EXPECT_STREQ(text_buffer<4>().c_str(), L"");
}

TEST(HeapArrayTest, GrowingKeepsEveryItemInOrderAndFreesWhatItHeld) {
    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    const size_t before = spy.live();
    {
        heap_array<unique_bstr> texts;
        for (int i = 0; i < 100; ++i) {
            const std::wstring text = L"item " + std::to_wstring(i);
            ASSERT_TRUE(texts.push_back(testing::ToBstr(text)));
        }
        ASSERT_EQ(texts.size(), 100u);
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(testing::FromBstr(texts[i].get()), L"item " + std::to_wstring(i));
        EXPECT_EQ(spy.live(), before + 100);

        heap_array<unique_bstr> moved;
        ASSERT_TRUE(moved.push_back(testing::ToBstr(L"replaced")));
        moved = std::move(texts);
        EXPECT_EQ(moved.size(), 100u);
        EXPECT_TRUE(texts.empty());  // NOLINT(bugprone-use-after-move): what a move leaves
        EXPECT_EQ(spy.live(), before + 100) << "what the target held is freed";
    }
    EXPECT_EQ(spy.live(), before) << "every item is freed with the array";
}

}  // namespace
}  // namespace plovane
