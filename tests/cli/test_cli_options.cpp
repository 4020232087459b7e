// The command line as users type it: value forms, short options, "--",
// options refused for commands they do nothing for; --help's width; the
// progress line's width.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_console.h"
#include "cli/cli_options.h"

namespace pelk {
namespace {

using Args = std::vector<std::string>;

TEST(CliOptionSyntax, ValueFormsShortOptionsAndEndOfOptions) {
    const Args forms[] = {
        {"--port", "sim", "--baud", "115200", "--device", "W78E58B", "program", "f.hex"},
        {"--port=sim", "--baud=115200", "--device=w78e58b", "program", "f.hex"},
        {"-p", "sim", "-b", "115200", "-d", "3", "program", "f.hex"},
        {"-psim", "-b115200", "-d3", "program", "f.hex"},
        {"program", "-d3", "f.hex", "-psim", "-b115200"},
    };
    for (const Args& a : forms) {
        const CliParse p = ParseCommandLine(a);
        ASSERT_EQ(p.Error, "") << a[0];
        EXPECT_EQ(p.Options.Command, CliCommand::Program);
        EXPECT_EQ(p.Options.Ports, Args{"sim"});
        EXPECT_EQ(p.Options.Baud, 115200u);
        EXPECT_EQ(p.Options.DeviceIndex, 3);
        EXPECT_EQ(p.Options.Files, Args{"f.hex"});
    }
    // After "--" a word that starts with '-' is a file; "-" is one anyway.
    CliParse p = ParseCommandLine({"-p", "sim", "-v", "--", "program", "-odd.hex"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Files, Args{"-odd.hex"});
    EXPECT_TRUE(p.Options.Verbose);
    p = ParseCommandLine({"convert", "in.bin", "-", "--offset=0x10", "--trace=x"});
    EXPECT_NE(p.Error.find("--trace does nothing with convert"), std::string::npos) << p.Error;
    p = ParseCommandLine({"convert", "in.bin", "-", "--offset=0x10"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Files, (Args{"in.bin", "-"}));
    EXPECT_EQ(p.Options.Offset, 0x10u);
    p = ParseCommandLine({"-p", "sim", "--trace", "erase"});
    ASSERT_EQ(p.Error, "");
    EXPECT_TRUE(p.Options.Trace);
    EXPECT_EQ(p.Options.TraceFile, "") << "without '=' the trace goes to standard error";
    // Several ports: given again or as a comma list, in the order given.
    p = ParseCommandLine({"-p", "COM1,/dev/ttyUSB0", "erase", "--port", "COM3", "-psim,sim"});
    ASSERT_EQ(p.Error, "");
    EXPECT_EQ(p.Options.Ports, (Args{"COM1", "/dev/ttyUSB0", "COM3", "sim", "sim"}));
    p = ParseCommandLine({"-p", "sim", "--before", " DTR, rts ,50 ms,-dtr", "--after=-rts", "erase"});
    ASSERT_EQ(p.Error, "");
    ASSERT_TRUE(p.Options.Before && p.Options.After);
    EXPECT_EQ(p.Options.Before->Text(), "dtr,rts,50ms,-dtr");
    EXPECT_EQ(p.Options.After->Text(), "-rts");
    p = ParseCommandLine({"-V"});
    EXPECT_EQ(p.Options.Command, CliCommand::Version);
    p = ParseCommandLine({"ports", "-h"});
    EXPECT_EQ(p.Options.Command, CliCommand::Help);
}

TEST(CliOptionSyntax, ErrorsNameTheOptionAndTheReason) {
    const struct {
        Args args;
        const char* error;
    } cases[] = {
        {{"-p", "sim", "--no-erase", "verify", "f.hex"}, "--no-erase does nothing with verify (it is for program)"},
        {{"--baud", "115200", "checksum", "f.hex"}, "--baud does nothing with checksum (it is for program, verify, erase, blank)"},
        {{"-p", "sim", "--start", "10", "erase"}, "--start does nothing with erase"},
        {{"-p", "sim", "--force", "blank"}, "--force does nothing with blank (it is for program, verify)"},
        {{"-d", "3", "ports"}, "-d does nothing with ports"},
        {{"-p", "sim", "--no-clear", "program", "f.hex"}, "--no-clear: was dropped"},
        {{"-p", "sim", "-b", "12345", "erase"}, "-b 12345: unsupported baud rate"},
        {{"-p", "sim", "--device=W99", "erase"}, "--device W99: unknown device"},
        {{"--offset", "12G45", "checksum", "f"}, "--offset 12G45: not a hexadecimal address"},
        {{"-p", "sim", "--all-blocks=1", "program", "f"}, "--all-blocks takes no value"},
        {{"-p"}, "-p needs a value (PORT)"},
        {{"--port"}, "--port needs a value (PORT)"},
        {{"-x", "erase"}, "unknown option -x"},
        {{"--frob", "erase"}, "unknown option --frob"},
        {{"-p", "sim", "-vq", "erase"}, "-v (--verbose) and -q (--quiet) do not go together"},
        {{"erase"}, "erase needs --port (-p)"},
        {{"-p", "COM1", "--sim-flash", "f.bin", "erase"}, "--sim-flash is for --port sim only"},
        {{"-p", "sim,,COM2", "erase"}, "-p sim,,COM2: needs a port name"},
        {{"-p", "COM1", "--port=/dev/ttyUSB0, com1", "erase"}, "--port /dev/ttyUSB0, com1: COM1 is given twice"},
        {{"-p", "sim", "--trace=", "erase"}, "--trace: needs a file name"},
        {{"-p", "sim", "--trace", "t.txt", "erase"}, "unknown command t.txt (for --trace to write to t.txt, write --trace=t.txt)"},
        {{"-p", "sim", "-p", "sim", "--sim-flash", "f.bin", "erase"}, "--sim-flash is for a single --port sim"},
        {{"-p", "sim", "--before", "dtr,rts,dtx", "erase"}, "--before dtr,rts,dtx: step 3 \"dtx\" is not dtr, -dtr, rts"},
        {{"-p", "sim", "--after=-rts,0ms", "erase"}, "--after -rts,0ms: step 2 \"0ms\": a wait is 1 to 10000 ms"},
        {{"--before", "dtr", "checksum", "f"}, "--before does nothing with checksum"},
        {{"-p", "sim", "-d", "3", "--bank", "1", "program", "f"}, "--bank is for the W77E532 only"},
        {{"-d", "1", "--bank=0", "checksum", "f"}, "--bank is for the W77E532 only"},
        {{"-p", "sim", "program"}, "program takes one file"},
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command frobnicate"},
    };
    for (const auto& c : cases) {
        const CliParse p = ParseCommandLine(c.args);
        EXPECT_NE(p.Error.find(c.error), std::string::npos) << "got: " << p.Error << "\nwanted: " << c.error;
    }
}

TEST(CliOptionSyntax, HelpFitsEightyColumnsAndNamesEveryOption) {
    const std::string help = UsageText();
    std::istringstream lines(help);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 80u) << line;
    for (const CliOptionRow& o : CliOptionTable) {
        if (std::string(o.Long) == "--no-clear") continue;  // dropped, refused with its reason
        EXPECT_NE(help.find(o.Long), std::string::npos) << o.Long;
        if (o.Short) {
            EXPECT_NE(help.find(std::string("-") + o.Short + ","), std::string::npos) << o.Short;
        }
    }
}

TEST(ProgressLine, FitsTheWidthItIsGiven) {
    for (int width : {200, 80, 50, 40, 30, 20, 12}) {
        for (const bool finished : {false, true}) {
            for (const uint64_t total : {uint64_t{0}, uint64_t{131072}}) {
                const std::string line = FormatProgress("Programming", total / 3, total, 1.5, width, finished);
                SCOPED_TRACE(line);
                EXPECT_LT(line.size(), size_t(width));
                if (width >= 20) {
                    EXPECT_EQ(line.rfind("Programming", 0), 0u);
                }
                EXPECT_NE(line.find(finished ? "100%" : total ? " 33%" : "  0%"), std::string::npos);
            }
        }
    }
    const std::string wide = FormatProgress("Verifying", 65536, 131072, 2.0, 80, false);
    EXPECT_NE(wide.find(".]  50%  32.8 kB/s  0:02 left"), std::string::npos)
        << wide;
    EXPECT_NE(FormatProgress("Erasing", 0, 0, 0.25, 80, true).find("100%  0.25 s"), std::string::npos);
}

}  // namespace
}  // namespace pelk
