#pragma once
// A client component that keeps what its port hands it.
#include <string>
#include <vector>

#include "serial/vacomm.h"

namespace pelk::test {

class RecordingClient : public TVaCommComponent {
public:
    using TVaCommComponent::TVaCommComponent;
    std::string Data;
    std::vector<uint32_t> Lines;
    void DataChanged(PVaData D, int Count) override { Data.append(reinterpret_cast<const char*>(D), static_cast<size_t>(Count)); }
    void LineChanged(uint32_t EvtMask) override { Lines.push_back(EvtMask); }
};

}  // namespace pelk::test
