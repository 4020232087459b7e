// `pelkisp ports`: what COM1..COM4 stand for and what each serial port is,
// read by the Linux device layer from fake /dev, sysfs and /proc trees in a
// temporary folder, and a device this user may not open checked against the
// real kernel; and the lines of Windows ports with their devices.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/port_list_text.h"
#include "serial/posix/port_list.h"
#include "support/temp_dir.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

void Link(const fs::path& link, const std::string& target) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

// The kernel's line in /proc/locks for a lock on `file` held by `pid`.
std::string LockLine(const fs::path& file, long pid) {
    struct stat st {};
    stat(file.c_str(), &st);
    char line[128];
    std::snprintf(line, sizeof line, "1: FLOCK  ADVISORY  WRITE %ld %02x:%02x:%llu 0 EOF\n", pid, major(st.st_dev),
                  minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    return line;
}

class PortList : public ::testing::Test {
protected:
    test::TempDir Dir;
    posix::PortFolders F;
    fs::path D;

    void SetUp() override {
        D = Dir.Path();
        F.WorkDir = (D / "work").string();
        F.DevDir = (D / "dev").string();
        F.SysTtyDir = (D / "sys/class/tty").string();
        F.ConsolesFile = (D / "consoles").string();
        F.ProcDir = (D / "proc").string();
        fs::create_directories(F.WorkDir);
        fs::create_directories(F.ProcDir);
        Write(F.ConsolesFile, "");
    }
    std::string Dev(const char* name) const { return F.DevDir + "/" + name; }
};

TEST_F(PortList, ComNamesAndPortsFromAFakeMachine) {
    // An FTDI adapter locked by picocom, an onboard console port, an onboard
    // port that screen holds open, and a placeholder ttyS2 without hardware.
    for (const char* n : {"ttyUSB0", "ttyS0", "ttyS1", "ttyS2", "tty0"}) Write(D / "dev" / n, "");
    Link(D / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "../../ttyUSB0");
    const fs::path usb = D / "sys/devices/pci0/usb1/1-1";
    Write(usb / "idVendor", "0403\n");
    Write(usb / "idProduct", "6001\n");
    Write(usb / "serial", "A1B2C3\n");
    Write(usb / "product", "FT232R USB UART\n");
    fs::create_directories(usb / "1-1:1.0/ttyUSB0");
    Link(usb / "1-1:1.0/ttyUSB0/driver", "../../../../../bus/usb-serial/drivers/ftdi_sio");
    Link(D / "sys/class/tty/ttyUSB0/device", "../../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0");
    const fs::path pnp = D / "sys/devices/pnp0/00:00";
    fs::create_directories(pnp / "00:00:0/00:00:0.0");
    Link(pnp / "00:00:0/00:00:0.0/driver", "../../../../../bus/serial-base/drivers/port");
    Link(pnp / "driver", "../../../bus/pnp/drivers/serial");
    Link(D / "sys/class/tty/ttyS0/device", "../../../devices/pnp0/00:00/00:00:0/00:00:0.0");
    Write(D / "sys/class/tty/ttyS0/type", "4\n");
    Write(D / "sys/class/tty/ttyS0/console", "Y\n");
    Write(D / "sys/class/tty/ttyS1/type", "4\n");
    Write(D / "sys/class/tty/ttyS2/type", "0\n");
    Write(D / "proc/locks", "1: -> FLOCK  ADVISORY  WRITE 77 00:00:1 0 EOF\n" + LockLine(Dev("ttyUSB0"), 4321));
    Write(D / "proc/4321/comm", "picocom\n");
    Link(D / "proc/555/fd/3", fs::canonical(Dev("ttyS1")).string());
    Link(D / "proc/555/fd/4", "socket:[1234]");
    Write(D / "proc/555/comm", "screen\n");
    Link(D / "work/COM2", "/dev/pts/999");  // stale: a target that has gone

    const std::vector<std::string> expected{
        "COM1  " + Dev("ttyUSB0") + " (the 1st serial port of this machine)",
        "COM2  nothing (the link COM2 in this folder leads to /dev/pts/999, which does not exist)",
        "COM3  nothing (this machine has 2 serial ports; a link COM3 in this folder chooses one)",
        "COM4  nothing (this machine has 2 serial ports; a link COM4 in this folder chooses one)",
        "",
        Dev("ttyUSB0") + "  by-id usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0  driver ftdi_sio  usb 0403:6001"
                         "  serial A1B2C3  \"FT232R USB UART\"  in use: locked by PID 4321 (picocom)",
        Dev("ttyS0") + "  driver serial  console (never chosen for COMn)",
        Dev("ttyS1") + "  in use: open by PID 555 (screen)",
    };
    EXPECT_EQ(PortListLines(posix::ListPorts(F)), expected);

    // A link in the folder wins over the n-th port; a file or a folder that
    // only bears the name is said to be one.
    Link(D / "work/COM1", Dev("ttyS1"));
    Write(D / "work/COM3", "");
    fs::create_directory(D / "work/COM4");
    const std::vector<std::string> lines = PortListLines(posix::ListPorts(F));
    EXPECT_EQ(lines[0], "COM1  " + Dev("ttyS1") + " (a link in this folder)");
    EXPECT_EQ(lines[2], "COM3  a file named COM3 in this folder, not a link to a serial port");
    EXPECT_EQ(lines[3], "COM4  a folder named COM4 in this folder, not a link to a serial port");
}

TEST_F(PortList, AMachineWithoutSerialPorts) {
    fs::create_directories(F.DevDir);
    const auto lines = PortListLines(posix::ListPorts(F));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "COM1  nothing (this machine has no serial port; a link COM1 in this folder chooses one)");
    EXPECT_EQ(lines[5], "no serial port found in " + F.DevDir);
}

TEST_F(PortList, NoPermissionNamesTheGroupToJoin) {
    // Checked as user nobody in a child process (we run as root, who may open anything).
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || !dialout) GTEST_SKIP() << "needs root and a dialout group";
    Write(D / "dev/ttyUSB0", "");
    ASSERT_EQ(chown(Dev("ttyUSB0").c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(Dev("ttyUSB0").c_str(), 0660), 0);
    fs::permissions(D, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        const auto lines = PortListLines(posix::ListPorts(F));
        const std::string text = lines.back();
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(text, Dev("ttyUSB0") +
                        "  no permission (add yourself to group dialout: sudo adduser $USER dialout, then log in again)");
}

TEST(PortListText, WindowsPortsWithTheirDevicesInAColumn) {
    PortListing listing;
    listing.SearchedIn = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    EXPECT_EQ(PortListLines(listing),
              std::vector<std::string>{"no serial port found in HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"});
    auto port = [](const char* name, const char* device) {
        PortInfo p;
        p.Name = name;
        p.Device = device;
        return p;
    };
    listing.Ports = {port("COM3", "\\Device\\Serial0"), port("COM12", "\\Device\\VCP0"), port("COM200", "")};
    EXPECT_EQ(PortListLines(listing),
              (std::vector<std::string>{"COM3    \\Device\\Serial0", "COM12   \\Device\\VCP0", "COM200"}));
}

}  // namespace
}  // namespace pelk
