#include "protocol/block_plan.h"

#include <algorithm>

#include "protocol/operation_engine.h"
#include "protocol/rs232.h"

namespace pelk {

bool IsDataBlock(const MemoryImage& image, uint32_t address) {
    const uint8_t* block = image.ImageBuffer.data() + address;
    return std::any_of(block, block + BlockSize, [](uint8_t b) { return b != ErasedByte; });
}

BlockPlan BlockPlan::DataBlocks(const MemoryImage& image) {
    BlockPlan plan;
    plan.WholeDevice = false;
    // A device's last address is always one below a multiple of 128; the
    // bound keeps a block from reaching past it (or past the image) anyway.
    const uint32_t end = std::min<uint32_t>(image.LastAddress, ImageSize - 1);
    for (uint32_t a = 0; a <= end && end - a >= BlockSize - 1; a += BlockSize)
        if (IsDataBlock(image, a)) plan.Blocks.push_back(a);
    return plan;
}

int BlockProgress(uint32_t sent, uint32_t span) {
    double p = static_cast<double>(sent) / span * ProgressMax;
    if (p < 1.0) p = 1.0;
    return static_cast<int>(p);
}

}  // namespace pelk
