#pragma once
// Where the operation engine shows its progress: the message line and the
// progress bar (0..1000). The main window, the command-line tool and tests
// each implement it.
#include <string>

namespace pelk {

class EngineView {
public:
    virtual ~EngineView() = default;
    virtual void ShowMessage(const std::string& text) = 0;
    virtual void SetProgress(int position) = 0;
};

}  // namespace pelk
