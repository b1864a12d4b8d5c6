// Header checks: which message a bad header gives, and in which order the
// checks run.
#include <gtest/gtest.h>

#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {
namespace {

std::vector<std::uint8_t> GoodImage() {
    S98Builder b;
    b.Sync().Write(0, 0x28, 0xF0).End();
    return b.Build();
}

std::string MessageFor(const std::vector<std::uint8_t>& image) {
    return ConvertInMemory(image).message;
}

void SetField(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value) {
    S98Builder::Put(image, at, static_cast<std::int32_t>(value));
}

TEST(Header, FilesShorterThanTheHeaderAreRefusedBeforeAnythingIsRead) {
    for (std::size_t size : {0, 1, 4, 31}) {
        auto image = GoodImage();
        image.resize(size);
        const auto r = ConvertInMemory(image);
        EXPECT_EQ(r.message, "S98 header error.") << size;
        EXPECT_TRUE(r.lines.empty());
    }
    std::vector<std::uint8_t> exact(32, 0);
    exact[3] = '3';
    SetField(exact, 0x14, 0x20);  // empty stream, data at the end
    EXPECT_EQ(MessageFor(exact), "");
}

TEST(Header, VersionDigitTwoAndEverythingAboveThreeAreRefused) {
    for (int v : {0x32, 0x34, 0x39, 0x40, 0xFF}) {
        auto image = GoodImage();
        image[3] = static_cast<std::uint8_t>(v);
        EXPECT_EQ(MessageFor(image), "S98 version error.") << v;
    }
    for (int v : {0x00, 0x20, 0x2F, 0x30, 0x31, 0x33}) {
        auto image = GoodImage();
        image[3] = static_cast<std::uint8_t>(v);
        EXPECT_EQ(MessageFor(image), "") << v;
    }
}

TEST(Header, DataOffsetBelowTheHeaderOrBeyondTheFileIsReportedWithItsValue) {
    auto image = GoodImage();
    SetField(image, 0x14, 0x1F);
    EXPECT_EQ(MessageFor(image), "data offset error. 0000001f");
    SetField(image, 0x14, static_cast<std::uint32_t>(image.size() + 1));
    EXPECT_EQ(MessageFor(image), "data offset error. 00000026");
    SetField(image, 0x14, 0xFFFFFFFF);
    EXPECT_EQ(MessageFor(image), "data offset error. ffffffff");
    SetField(image, 0x14, 0x80000000);
    EXPECT_EQ(MessageFor(image), "data offset error. 80000000");
}

TEST(Header, DataOffsetAtTheEndOfTheFileIsAnEmptyStream) {
    auto image = GoodImage();
    SetField(image, 0x14, static_cast<std::uint32_t>(image.size()));
    const auto r = ConvertInMemory(image);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.lines.front(), "start offset(1st key-on)=00000000\n");
    EXPECT_EQ(r.output, image);
}

TEST(Header, TagOffsetIsCheckedOnlyWhenNotZero) {
    auto image = GoodImage();
    SetField(image, 0x10, 0x1F);
    EXPECT_EQ(MessageFor(image), "tag offset error. 0000001f");
    SetField(image, 0x10, static_cast<std::uint32_t>(image.size() + 1));
    EXPECT_EQ(MessageFor(image), "tag offset error. 00000026");
    SetField(image, 0x10, 0xFFFFFFF0);
    EXPECT_EQ(MessageFor(image), "tag offset error. fffffff0");
    SetField(image, 0x10, static_cast<std::uint32_t>(image.size()));  // an empty tag
    EXPECT_EQ(MessageFor(image), "");
}

TEST(Header, ChecksRunInOrderSoOnlyTheFirstFailureIsReported) {
    auto image = GoodImage();
    SetField(image, 0x10, 0x01);
    SetField(image, 0x14, 0x01);
    EXPECT_EQ(MessageFor(image), "data offset error. 00000001");
    image[3] = '2';
    EXPECT_EQ(MessageFor(image), "S98 version error.");
}

TEST(Header, FailedChecksLogNothingAndWriteNothing) {
    auto image = GoodImage();
    image[3] = '2';
    const auto r = ConvertInMemory(image);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_FALSE(r.written);
}

TEST(Header, MagicBytesAreNotExamined) {
    auto image = GoodImage();
    image[0] = 'X';
    image[1] = 0;
    image[2] = 0xFF;
    EXPECT_EQ(MessageFor(image), "");
}

}  // namespace
}  // namespace zelta::test
