// Records packed into wire bytes through the communication layer, for tests
// that build what a peer sends or check what the module answers. The
// including target links the communication layer (velmard_core).
#ifndef COMM_LAYER_PACK_H
#define COMM_LAYER_PACK_H

#include <cstdint>
#include <vector>

#include "MemoryPool.h"
#include "QuorVelmarCommLayer.h"

namespace wire_test {

// Packs a record; an empty result means the packer gave no block. The block
// goes back to its pool.
inline std::vector<uint8_t> Pack(uint32_t id, const void* record)
{
    uint32_t length = 0xDEADBEEF;
    char* block = CQuorVelmarCommLayer::TranslateOneStructToPack(id, record, &length);
    if (block == nullptr)
        return std::vector<uint8_t>();
    std::vector<uint8_t> out(block, block + length);
    FreeMemPoolAllMsg((int32_t)length, block);
    return out;
}

}  // namespace wire_test

#endif
