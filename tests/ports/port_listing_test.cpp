// SPDX-License-Identifier: MIT
// What the port list says about a device: descriptions from what udev knows,
// labels, adapter identities, holders of busy ports and failure reasons.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "held_port.h"
#include "usb_adapter.h"
#include "main/ports/failure_reason.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_holder.h"
#include "main/ports/port_listing.h"
#include "tests/support/pty_pair.h"

using namespace varnolink;

namespace {

TUdevDevice Ftdi()
{
    return ports_test::UsbAdapter("A10K3Z4P", "/dev/ttyUSB0");
}

struct TDescriptionCase {
    const char* What;
    std::string Path;
    std::optional<TUdevDevice> Device;
    std::string Label;
    std::string Expected;
};

TUdevDevice With(TUdevDevice Device, void (*Change)(TUdevDevice&))
{
    Change(Device);
    return Device;
}

class PortDescriptionTest : public testing::TestWithParam<TDescriptionCase> {};

TEST_P(PortDescriptionTest, SaysWhatTheDeviceIs)
{
    const TDescriptionCase& Case = GetParam();
    EXPECT_EQ(PortDescription(Case.Path, Case.Device ? &*Case.Device : nullptr, Case.Label), Case.Expected)
        << Case.What;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, PortDescriptionTest,
    testing::Values(TDescriptionCase{"usb adapter", "/dev/ttyUSB0", Ftdi(), "", "FTDI FT232R USB UART (A10K3Z4P)"},
                    TDescriptionCase{"maker repeated in the product", "/dev/ttyUSB0",
                                     With(Ftdi(), [](TUdevDevice& D) { D.Product = "FTDI USB-RS485 Cable"; }), "",
                                     "FTDI USB-RS485 Cable (A10K3Z4P)"},
                    TDescriptionCase{"usb adapter without strings", "/dev/ttyUSB1",
                                     With(Ftdi(),
                                          [](TUdevDevice& D) {
                                              D.Manufacturer.clear();
                                              D.Product.clear();
                                              D.Serial.clear();
                                          }),
                                     "", "USB serial adapter 0403:6001, driver ftdi_sio"},
                    TDescriptionCase{"8250 on the platform bus", "/dev/ttyS0",
                                     TUdevDevice{"/dev/ttyS0", "platform", "serial8250", "", "", "", "", "", {}}, "",
                                     "built-in serial port"},
                    TDescriptionCase{"pnp uart", "/dev/ttyS1",
                                     TUdevDevice{"/dev/ttyS1", "pnp", "serial", "", "", "", "", "", {}}, "",
                                     "built-in serial port"},
                    TDescriptionCase{"pci card", "/dev/ttyS4",
                                     TUdevDevice{"/dev/ttyS4", "pci", "exar_serial", "", "", "", "", "", {}}, "",
                                     "serial port, driver exar_serial"},
                    TDescriptionCase{"pseudo-terminal", "/dev/pts/3", std::nullopt, "", "pseudo-terminal"},
                    TDescriptionCase{"label first", "/dev/pts/3", Ftdi(), "simulated module", "simulated module"},
                    TDescriptionCase{"nothing known", "/tmp/link", std::nullopt, "", ""}));

TEST(AdapterIdentity, SerialNumberElseByIdLinkElseNone)
{
    EXPECT_EQ(AdapterIdentity(Ftdi()), "usb:0403:6001:A10K3Z4P");
    TUdevDevice NoSerial = Ftdi();
    NoSerial.Serial.clear();
    EXPECT_EQ(AdapterIdentity(NoSerial), "");
    NoSerial.ByIdLinks = {"/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"};
    EXPECT_EQ(AdapterIdentity(NoSerial), "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
}

TEST(PortLabels, PathEqualsLabelEntriesLabelTheirPathOnly)
{
    const char* Ports = "/dev/pts/3=simulated module:/dev/ttyUSB9::/tmp/x=";
    EXPECT_EQ(PortCandidatesFor(Ports, "1"), (std::vector<std::string>{"/dev/pts/3", "/dev/ttyUSB9", "/tmp/x"}));
    EXPECT_EQ(PortLabelsFor(Ports), (std::map<std::string, std::string>{{"/dev/pts/3", "simulated module"}}));
}

TEST(PortHolder, LockFileNamesAndOwnersFromTheLockTable)
{
    EXPECT_EQ(LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");

    const std::filesystem::path Directory =
        std::filesystem::temp_directory_path() / ("varnolink-locks-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Directory);
    test_support::TPtyPair Line;
    const ports_test::THeldElsewhere Unused(Line.SlavePath());  // any live process of this program
    std::ofstream(Directory / "LCK..ttyUSB0") << "      " << Unused.Process() << "\n";
    std::ofstream(Directory / "LCK..ttyUSB1") << "      999999999\n";             // stale: no such process
    std::ofstream(Directory / "LCK..ttyUSB2") << "      " << ::getpid() << "\n";  // ourselves

    const auto Holder = FindLockHolder("/dev/ttyUSB0", {Directory.string()});
    ASSERT_TRUE(Holder.has_value());
    EXPECT_EQ(Holder->Process, Unused.Process());
    EXPECT_EQ(HolderText(Holder),
              "in use by " + ports_test::OwnProgramName() + ", process " + std::to_string(Unused.Process()));
    EXPECT_FALSE(FindLockHolder("/dev/ttyUSB1", {Directory.string()}).has_value());
    EXPECT_FALSE(FindLockHolder("/dev/ttyUSB2", {Directory.string()}).has_value());
    EXPECT_EQ(HolderText(std::nullopt), "in use by another program");
    std::filesystem::remove_all(Directory);
}

TEST(PortHolder, LockFileContentsAsTextOrBinary)
{
    const int Binary = 4321;
    const struct {
        std::string Content;
        std::optional<pid_t> Owner;
    } Cases[] = {
        {"      1234\n", 1234},
        {"1234", 1234},
        {std::string(reinterpret_cast<const char*>(&Binary), 4), 4321},
        {"  \n", std::nullopt},
        {"", std::nullopt},
        {"-5\n", std::nullopt},
        {"99999999999999\n", std::nullopt},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(ParseLockFile(Case.Content), Case.Owner) << Case.Content;
}

TEST(PortListing, BusyPortIsListedWithItsHolderAndFreedWhenReleased)
{
    test_support::TPtyPair Line;
    const std::vector<std::string> Candidates{Line.SlavePath(), "/nonexistent/ttyUSB0"};
    {
        const ports_test::THeldElsewhere Holder(Line.SlavePath());
        const std::vector<TPortListing> Listed = ListPorts(Candidates, nullptr, {});
        ASSERT_EQ(Listed.size(), 1u);
        EXPECT_TRUE(Listed[0].Busy);
        EXPECT_EQ(Listed[0].Holder,
                  "in use by " + ports_test::OwnProgramName() + ", process " + std::to_string(Holder.Process()));
        EXPECT_EQ(Listed[0].Description, "pseudo-terminal");
    }
    const std::vector<TPortListing> Listed = ListPorts(Candidates, nullptr, {{Line.SlavePath(), "bench line"}});
    ASSERT_EQ(Listed.size(), 1u);
    EXPECT_FALSE(Listed[0].Busy);
    EXPECT_EQ(Listed[0].Holder, "");
    EXPECT_EQ(Listed[0].Description, "bench line");
}

TEST(FailureReason, PlainWordsForTheSystemErrors)
{
    EXPECT_EQ(FailureReason(ENXIO, ""), "The device is gone (unplugged?).");
    EXPECT_EQ(FailureReason(EIO, "/dev/ttyUSB0"), "The device is gone (unplugged?).");
    EXPECT_EQ(FailureReason(EBUSY, ""), "The port is in use by another program.");
    EXPECT_EQ(FailureReason(EACCES, ""), std::string("The system says: ") + std::strerror(EACCES) + ".");
    EXPECT_EQ(FailureReason(-1, ""), "");
    EXPECT_TRUE(MeansDeviceGone(ENODEV));
    EXPECT_FALSE(MeansDeviceGone(EBADF));
}

}  // namespace

namespace {

// The real device manager, read-only: it describes character devices from
// sysfs (no udev daemon needed) and nothing for a pseudo-terminal.
TEST(LibudevSource, DescribesFromSysfsWithoutADaemon)
{
    if (!std::filesystem::exists("/sys/dev/char"))
        GTEST_SKIP() << "no sysfs here";
    const std::unique_ptr<TUdevSource> Udev = MakeLibudevSource();
    const std::optional<TUdevDevice> Null = Udev->Describe("/dev/null");
    ASSERT_TRUE(Null.has_value());
    EXPECT_EQ(Null->DevNode, "/dev/null");
    EXPECT_EQ(PortDescription("/dev/null", &*Null, ""), "");
    test_support::TPtyPair Line;
    EXPECT_FALSE(Udev->Describe(Line.SlavePath()).has_value());
    EXPECT_FALSE(Udev->Describe("/nonexistent/ttyUSB0").has_value());
}

}  // namespace
