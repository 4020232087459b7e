#pragma once
// Which 128-byte blocks Program and Verify walk, in rising address order.
//
// The whole-device plan is every block from 0 to LastAddress (the window's
// default). The data-block plan keeps only the blocks of the device that hold
// a byte other than 0xFF: after an erase the chip already holds 0xFF in every
// other block, so programming and verifying the data blocks leaves the chip
// equal to the image.
#include <cstdint>
#include <vector>

#include "image/memory_image.h"

namespace pelk {

// True when the 128 bytes of the image from `address` on hold a byte other
// than 0xFF. `address` must leave a whole block inside the image.
bool IsDataBlock(const MemoryImage& image, uint32_t address);

struct BlockPlan {
    // Every block up to LastAddress. The walk reads LastAddress as it goes,
    // as it always has; Blocks is then unused.
    bool WholeDevice = true;
    // Otherwise the addresses of the blocks to walk, rising, each aligned to
    // 128 and inside 0..LastAddress.
    std::vector<uint32_t> Blocks;

    static BlockPlan Whole() { return {}; }
    static BlockPlan DataBlocks(const MemoryImage& image);
};

// The progress bar's position (0..1000) while a block goes out: `sent` is the
// number of plan bytes before that block and `span` the plan's byte count
// minus one, so that for the whole-device plan it is the block's address
// over LastAddress. Below 1 counts as 1: the bar shows that blocks are going.
int BlockProgress(uint32_t sent, uint32_t span);

}  // namespace pelk
