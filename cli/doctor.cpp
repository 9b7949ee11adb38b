// SPDX-License-Identifier: MIT
// The doctor's checks: the device, the user's access, its holder, a USB
// adapter's latency, a network server's banner, echo, the module at 9600
// baud and the speed search.
#include "cli/doctor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/port_advice.h"
#include "cli/rendering.h"
#include "main/engine/module_connection.h"
#include "main/engine/module_errors.h"
#include "main/engine/speed_search.h"
#include "main/ports/port_candidates.h"
#include "main/ports/port_holder.h"
#include "main/ports/port_listing.h"
#include "main/ports/udev_source.h"

namespace varnolink {

namespace {

enum class TVerdict { Ok, Warning, Fail, Skipped };

const char* VerdictText(TVerdict Verdict)
{
    switch (Verdict) {
    case TVerdict::Ok:
        return "ok";
    case TVerdict::Warning:
        return "warning";
    case TVerdict::Fail:
        return "fail";
    case TVerdict::Skipped:
        return "skipped";
    }
    return "?";
}

struct TCheck {
    std::string Name;
    TVerdict Verdict = TVerdict::Ok;
    std::string Detail;
    std::string Remedy;
};

// The USB adapters that are there; the doctor's port when none is named.
std::vector<std::string> UsbAdapters()
{
    std::vector<std::string> Found;
    for (const std::string& Candidate : PortCandidatesFor(nullptr, nullptr))
        if ((Candidate.rfind("/dev/ttyUSB", 0) == 0 || Candidate.rfind("/dev/ttyACM", 0) == 0) &&
            ::access(Candidate.c_str(), F_OK) == 0)
            Found.push_back(Candidate);
    return Found;
}

// An FTDI adapter's latency timer in ms (its driver holds every short
// reply this long); nothing where there is none.
std::optional<int> LatencyTimer(const std::string& Device)
{
    const std::string Name = Device.substr(Device.rfind('/') + 1);
    std::ifstream File("/sys/bus/usb-serial/devices/" + Name + "/latency_timer");
    int Ms = 0;
    if (File >> Ms)
        return Ms;
    return std::nullopt;
}

class TDoctor {
public:
    TDoctor(const TCliArguments& Arguments, int StopFd) : Args_(Arguments), StopFd_(StopFd) {}

    int Run()
    {
        Port_ = Args_.Port;
        if (Port_.empty() && !ChoosePort())
            return ExitPort;
        RefuseSystemConsole(Port_);
        const bool Network = IsNetworkPortName(Port_);
        if (!Network && !LocalDevice())
            return ExitPort;
        return Line(Network);
    }

    const std::vector<TCheck>& Checks() const { return Checks_; }
    const std::string& Port() const { return Port_; }
    bool Answered() const { return Answered_; }
    std::optional<int> Speed() const { return Speed_; }

private:
    void Add(std::string Name, TVerdict Verdict, std::string Detail, std::string Remedy = {})
    {
        Checks_.push_back({std::move(Name), Verdict, std::move(Detail), std::move(Remedy)});
    }

    bool ChoosePort()
    {
        const std::vector<std::string> Adapters = UsbAdapters();
        if (Adapters.size() == 1) {
            Port_ = Adapters.front();
            Add("port", TVerdict::Ok, "the one USB serial adapter: " + Port_);
            return true;
        }
        if (Adapters.empty()) {
            Add("port", TVerdict::Fail, "no USB serial adapter is plugged in",
                "plug the adapter in (dmesg shows it arrive), or name the port: varnolink doctor -p PORT");
        } else {
            std::string List;
            for (const std::string& Adapter : Adapters)
                List += (List.empty() ? "" : ", ") + Adapter;
            Add("port", TVerdict::Fail, "several USB serial adapters: " + List, "name one: varnolink doctor -p PORT");
        }
        return false;
    }

    // The device, the user's access to it, its holder and a USB adapter's
    // latency; false when the line cannot be tried.
    bool LocalDevice()
    {
        const std::string Device = cport::TComPort::DevicePathOf(Port_);
        struct stat Info {};
        if (::stat(Device.c_str(), &Info) != 0) {
            Add("device", TVerdict::Fail, "there is no device " + Device,
                "plug the adapter in and check that dmesg shows it; 'varnolink ports' lists the ports");
            return false;
        }
        const std::unique_ptr<TUdevSource> Udev = MakeLibudevSource();
        const std::optional<TUdevDevice> Described = Udev->Describe(Device);
        std::string What = PortDescription(Device, Described ? &*Described : nullptr, "");
        if (Described && !Described->Driver.empty())
            What += (What.empty() ? "" : ", ") + std::string("driver ") + Described->Driver;
        Add("device", TVerdict::Ok, Device + (What.empty() ? "" : ": " + What));

        if (::access(Device.c_str(), R_OK | W_OK) == 0) {
            Add("access", TVerdict::Ok, "you may read and write " + Device);
        } else {
            Add("access", TVerdict::Fail, "you may not open " + Device, PermissionAdvice(Device));
            return false;
        }

        // Busy as the tool sees it: another program has it locked or open
        // exclusively (a program merely holding it open shares it).
        if (ProbePortDetailed(Device).Outcome == TProbeOutcome::Busy) {
            Add("holder", TVerdict::Fail, Device + " is busy, " + HolderText(FindPortHolder(Device)),
                "end that program (or close its port), then try again");
            return false;
        }
        Add("holder", TVerdict::Ok, "no other program holds " + Device);

        if (const std::optional<int> Latency = LatencyTimer(Device)) {
            const std::string Name = Device.substr(Device.rfind('/') + 1);
            if (*Latency > 1)
                Add("latency", TVerdict::Warning,
                    "the adapter's latency timer is " + std::to_string(*Latency) +
                        " ms: each reply waits that long in the driver",
                    "echo 1 | sudo tee /sys/bus/usb-serial/devices/" + Name + "/latency_timer");
            else
                Add("latency", TVerdict::Ok, "the adapter's latency timer is " + std::to_string(*Latency) + " ms");
        }
        return true;
    }

    int Line(bool Network)
    {
        TModuleConnection Connection;
        Connection.SetStopDescriptor(StopFd_, TStopWhen::Now);
        if (!Args_.Rs485.empty())
            Connection.SetRs485(ParseRs485Choice(Args_.Rs485));
        // A banner is what a server sends before any request: the noise the
        // session drops while it listens before the first one.
        std::string Banner;
        bool Requested = false;
        Connection.SetEventListener([&](const TSessionEvent& Event, const TChainSession&) {
            if (std::holds_alternative<TRequestStarted>(Event))
                Requested = true;
            else if (const auto* Noise = std::get_if<TNoiseDropped>(&Event); Noise && !Requested)
                Banner += Noise->Raw;
            else if (const auto* Line = std::get_if<TLineIgnored>(&Event); Line && !Requested)
                Banner += Line->Raw;
        });
        try {
            Connection.Open(Port_);
        } catch (const EModulePort& Error) {
            const std::string Advice = PortAdvice(Port_, Error.SystemError(), Error.what());
            Add(Network ? "server" : "open", TVerdict::Fail, Error.what(), Advice);
            return ExitPort;
        }
        if (Network)
            Add("server", TVerdict::Ok,
                Port_.rfind("rfc2217", 0) == 0 ? "connected; the server took the line settings (RFC 2217)"
                                               : "connected (raw TCP: the server keeps its own line settings)");

        std::optional<TModuleIdentity> Identity;
        try {
            Identity = Connection.Probe(std::chrono::milliseconds(1000),
                                        Network ? std::chrono::milliseconds(300) : std::chrono::milliseconds(0));
        } catch (const EModuleReply& Error) {
            Add("module", TVerdict::Fail, Error.what(),
                "unplug all modules but one (requests carry no address), then try again");
            return ExitNoReply;
        }
        if (Network) {
            if (Banner.empty())
                Add("banner", TVerdict::Ok, "the server sends nothing before a request");
            else
                Add("banner", TVerdict::Warning,
                    "the server sent " + std::to_string(Banner.size()) +
                        " bytes before any request: " + VisibleText(Banner.substr(0, 40)),
                    "turn the greeting off on the server (ser2net: no banner on this connection)");
        }
        if (Connection.EchoSeen())
            Add("echo", TVerdict::Warning, EchoText,
                "nothing to do: the tool drops the echo (a two-wire adapter with its echo switched off avoids it)");
        else if (Identity)
            Add("echo", TVerdict::Ok, "the adapter does not echo what it sends");

        if (Identity) {
            // A second module answers the same request a moment later: the
            // next request, after a short listen, shows it.
            try {
                Connection.Probe(std::chrono::milliseconds(1000), std::chrono::milliseconds(100));
            } catch (const EModuleReply& Error) {
                Add("module", TVerdict::Fail, Error.what(),
                    "unplug all modules but one (requests carry no address), then try again");
                return ExitNoReply;
            } catch (const EModuleNoReply&) {
            }
            Answered_ = true;
            Speed_ = 9600;
            Add("module", TVerdict::Ok, Identity->BiosName + " " + Identity->BiosVersion + " answered at 9600 baud");
            return ExitDone;
        }
        Add("module", TVerdict::Fail, "no module answered at 9600 baud within 1000 ms");
        const std::optional<TSpeedFound> Found = SearchLineSpeed(Connection, std::chrono::milliseconds(300));
        if (Found && Found->Baud != 9600) {
            Answered_ = true;
            Speed_ = Found->Baud;
            const std::string Rate = std::to_string(Found->Baud);
            Add("line speed", TVerdict::Warning,
                Found->Identity.BiosName + " " + Found->Identity.BiosVersion + " answers at " + Rate + " baud",
                "talk to it with --line-speed " + Rate + ", or set it back to 9600: varnolink write -p " + Port_ +
                    " FILE --line-speed " + Rate + " --baud 9600");
            return ExitDone;
        }
        Add("line speed", TVerdict::Fail, "no module answered at any of the eight rates",
            "check the module's power, the wiring (A to A, B to B, and ground), the bus termination, and "
            "that one module is on the line");
        return ExitNoReply;
    }

    const TCliArguments& Args_;
    int StopFd_;
    std::string Port_;
    std::vector<TCheck> Checks_;
    bool Answered_ = false;
    std::optional<int> Speed_;
};

// The doctor's findings, once it has run: its checks as text lines with
// their remedies, or as the members of the JSON object.
void RenderText(const TDoctor& Doctor, std::ostream& Out)
{
    for (const TCheck& Check : Doctor.Checks()) {
        std::string Verdict = VerdictText(Check.Verdict);
        Verdict.resize(8, ' ');
        std::string Name = Check.Name;
        Name.resize(std::max<std::size_t>(Name.size(), 11), ' ');
        Out << Verdict << Name << "  " << Check.Detail << "\n";
        if (!Check.Remedy.empty())
            Out << std::string(21, ' ') << "\u2192 " << Check.Remedy << "\n";
    }
}

void RenderJson(const TDoctor& Doctor, TJsonWriter& Json)
{
    Json.Member("port", Doctor.Port()).Key("checks").BeginArray();
    for (const TCheck& Check : Doctor.Checks()) {
        Json.BeginObject()
            .Member("check", Check.Name)
            .Member("verdict", VerdictText(Check.Verdict))
            .Member("detail", Check.Detail);
        if (!Check.Remedy.empty())
            Json.Member("remedy", Check.Remedy);
        Json.EndObject();
    }
    Json.EndArray().Member("module_answered", Doctor.Answered()).Key("line_speed");
    if (Doctor.Speed())
        Json.Number(*Doctor.Speed());
    else
        Json.Null();
}

}  // namespace

int RunDoctor(const TCliArguments& Arguments, int StopFd, std::ostream& Out, TJsonWriter& Json)
{
    TDoctor Doctor(Arguments, StopFd);
    const int Code = Doctor.Run();
    RenderResult(Doctor, Arguments.Json, Out, Json);
    return Code;
}

}  // namespace varnolink
