#include "platform/posix/device_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string resolved(const char* portName) {
    char path[kDevicePathSize];
    if (!resolveDevicePath(portName, path)) return "<none>";
    return path;
}

TEST(DevicePath, PortNamesLeadToDevices) {
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM12", "/dev/ttyS11"},
        {"COM0", "/dev/COM0"},  // numbering starts at 1
        {"COM", "/dev/COM"},
        {"COM1X", "/dev/COM1X"},
        {"NULL", "/dev/null"},
        {"/DEV/NULL", "/dev/null"},
        {"//DEV//NULL", "/dev/null"},
        {"/dev/null", "/dev/null"},
        {"/DEV/NO-SUCH-PORT", "/dev/NO-SUCH-PORT"},
        {"/", "<none>"},
    };
    for (const auto& c : cases) EXPECT_EQ(resolved(c.name), c.path) << c.name;
}

TEST(DevicePath, AnExactMatchWinsOverOneThatIgnoresCase) {
    char directory[] = "/tmp/torvex-devpath-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string base = directory;
    ASSERT_EQ(::mkdir((base + "/Sub").c_str(), 0700), 0);
    for (const char* file : {"/Sub/ttyUSB0", "/Sub/TTYACM0", "/Sub/ttyacm0"}) {
        std::FILE* created = std::fopen((base + file).c_str(), "w");
        ASSERT_NE(created, nullptr);
        std::fclose(created);
    }
    ASSERT_EQ(::chdir(directory), 0);
    EXPECT_EQ(resolved("./SUB/TTYUSB0"), "./Sub/ttyUSB0");
    EXPECT_EQ(resolved("./SUB/TTYACM0"), "./Sub/TTYACM0");
    EXPECT_EQ(resolved("SUB/TTYACM1"), "Sub/TTYACM1");
    ASSERT_EQ(::chdir("/"), 0);
    std::system(("rm -rf " + base).c_str());
}

}  // namespace
