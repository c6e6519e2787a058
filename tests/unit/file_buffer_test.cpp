// The owner of a whole-file buffer: large buffers are mappings of their own,
// aligned for huge pages, small ones come from the allocator, and whichever
// it holds goes back when it is released, replaced, moved over or destroyed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/file_buffer.h"

namespace {

using plat::FileBuffer;

constexpr std::uint32_t kFrom = FileBuffer::kMappedFrom;
constexpr std::uintptr_t kHugePage = 2u << 20;

// The size of this process's address space, in MiB.
double AddressSpaceMiB() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0;
    statm >> pages;
    return pages * 4096 / 1048576.0;
}

TEST(FileBufferTest, HoldsEveryByteOfItsSize) {
    for (std::uint32_t size : {0u, 1u, kFrom - 1, kFrom, kFrom + 1, 5 * kFrom + 3}) {
        SCOPED_TRACE(size);
        FileBuffer b;
        ASSERT_TRUE(b.Allocate(size));
        EXPECT_EQ(b.size(), size);
        EXPECT_EQ(b.data() != nullptr, size > 0);
        EXPECT_EQ(b.mapped(), size >= kFrom);
        if (b.mapped()) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % kHugePage, 0u);
        }
        // Every byte is there to be written and read back.
        if (size > 0) {
            std::memset(b.data(), 0x5A, size);
            EXPECT_EQ(b.data()[0], 0x5A);
            EXPECT_EQ(b.data()[size - 1], 0x5A);
        }
    }
}

TEST(FileBufferTest, GivesItsMemoryBackOnEveryRoad) {
    constexpr std::uint32_t kLarge = 64u << 20;
    const double start = AddressSpaceMiB();
    auto grown = [&] { return AddressSpaceMiB() - start; };
    {
        FileBuffer a;
        ASSERT_TRUE(a.Allocate(kLarge));
        EXPECT_GE(grown(), 63.0);

        a.Release();
        EXPECT_LT(grown(), 4.0) << "released";
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(a.size(), 0u);
        EXPECT_FALSE(a.mapped());

        ASSERT_TRUE(a.Allocate(kLarge));
        ASSERT_TRUE(a.Allocate(kLarge));
        EXPECT_LT(grown(), 68.0) << "replaced by a second allocation";
        ASSERT_TRUE(a.Allocate(10));
        EXPECT_LT(grown(), 4.0) << "replaced by a small one";

        ASSERT_TRUE(a.Allocate(kLarge));
        a.data()[kLarge - 1] = 7;
        FileBuffer b(std::move(a));
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(b.size(), kLarge);
        EXPECT_TRUE(b.mapped());
        EXPECT_EQ(b.data()[kLarge - 1], 7);

        FileBuffer c;
        ASSERT_TRUE(c.Allocate(kLarge));
        c = std::move(b);
        EXPECT_LT(grown(), 68.0) << "moved over";
        EXPECT_EQ(c.data()[kLarge - 1], 7);
        EXPECT_EQ(b.data(), nullptr);
    }
    EXPECT_LT(grown(), 4.0) << "destroyed";
}

}  // namespace
