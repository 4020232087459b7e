#include "serial/vatypes.h"

namespace pelk {

uint32_t BaudrateValue(TVaBaudrate Rate) {
    static constexpr uint32_t Rates[] = {0,     110,   300,   600,   1200,   2400,   4800,   9600,
                                         14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return Rate <= br256000 ? Rates[Rate] : 0;
}

}  // namespace pelk
