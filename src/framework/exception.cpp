#include "framework/exception.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace pelk {

Exception::Exception(std::string Msg) : FMessage(std::move(Msg)) {}

namespace {

std::mutex ReportMutex;
ExceptionReportHook& ReportHook() {
    static ExceptionReportHook hook;
    return hook;
}

}  // namespace

ExceptionReportHook SetExceptionReport(ExceptionReportHook Hook) {
    std::lock_guard<std::mutex> lock(ReportMutex);
    return std::exchange(ReportHook(), std::move(Hook));
}

void ReportException(const std::exception& E) {
    ExceptionReportHook hook;
    {
        std::lock_guard<std::mutex> lock(ReportMutex);
        hook = ReportHook();
    }
    if (!hook) {
        std::fprintf(stderr, "%s\n", E.what());
        return;
    }
    try {
        hook(E);
    } catch (...) {
        // A report that fails has nowhere left to go.
    }
}

void ReportCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ReportException(e);
    } catch (...) {
        ReportException(Exception("Unknown exception"));
    }
}

}  // namespace pelk
