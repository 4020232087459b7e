#include "crc/link_crc.h"

namespace pelk {

uint16_t LinkCrc(const uint8_t* data, size_t count) {
    LinkCrcRegister reg;
    reg.Update(data, count);
    return reg.Finish();
}

}  // namespace pelk
