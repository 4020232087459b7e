#pragma once
// The base exception of the class framework, and the application's report of
// exceptions that nobody handled.
//
// Code that catches an exception it cannot deal with (an event handler of the
// serial component, a worker thread's delivery) passes it to ReportException.
// The report is a replaceable hook: the window shows a message box with the
// text, the command-line tool prints it, tests record it. Without a hook the
// text goes to standard error.
#include <exception>
#include <functional>
#include <string>

namespace pelk {

// An exception that carries a message only.
class Exception : public std::exception {
public:
    explicit Exception(std::string Msg);
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// An assignment between objects of unrelated classes, a bad conversion.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A value outside the range a property accepts.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

using ExceptionReportHook = std::function<void(const std::exception&)>;

// Installs the application's report of unhandled exceptions and returns the
// one it replaces. An empty hook restores the default (standard error).
// The hook is called on the thread that reports, which for every report of
// the serial component is the main thread.
ExceptionReportHook SetExceptionReport(ExceptionReportHook Hook);

// Passes E to the installed report. A hook that throws is ignored.
void ReportException(const std::exception& E);

// Reports the exception being handled; call it inside a catch block. An
// exception of a type not derived from std::exception is reported as
// "Unknown exception".
void ReportCurrentException();

}  // namespace pelk
