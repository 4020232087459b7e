#include "serial/vaclasses.h"

namespace pelk {

void TVaPersistent::Changed() {
    if (FUpdateCount == 0 && OnChange) OnChange(this);
}

void TVaPersistent::EndUpdate() {
    if (FUpdateCount > 0) --FUpdateCount;
    Changed();
}

}  // namespace pelk
