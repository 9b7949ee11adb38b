// SPDX-License-Identifier: MIT
#include "sim/command_line.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "sim/serial_endpoint.h"
#include "sim/text_escape.h"

namespace varnolink::sim {

namespace {

using namespace std::string_literals;

unsigned long long ParseUnsigned(const std::string& Option, const std::string& Value, unsigned long long Max)
{
    unsigned long long Number = 0;
    const auto [end, error] = std::from_chars(Value.data(), Value.data() + Value.size(), Number);
    if (Value.empty() || error != std::errc{} || end != Value.data() + Value.size() || Number > Max) {
        throw std::invalid_argument(Option + ": expected a number from 0 to " + std::to_string(Max) + ", got \"" +
                                    Value + "\"");
    }
    return Number;
}

std::uint8_t ParseHexByte(const std::string& Option, const std::string& Value)
{
    unsigned Number = 0;
    const auto [end, error] = std::from_chars(Value.data(), Value.data() + Value.size(), Number, 16);
    if (Value.size() != 2 || error != std::errc{} || end != Value.data() + Value.size()) {
        throw std::invalid_argument(Option + ": expected two hex digits, got \"" + Value + "\"");
    }
    return static_cast<std::uint8_t>(Number);
}

std::chrono::milliseconds ParseMilliseconds(const std::string& Option, const std::string& Value)
{
    return std::chrono::milliseconds(ParseUnsigned(Option, Value, 3'600'000));
}

std::size_t ParseModuleNumber(const std::string& Option, const std::string& Value)
{
    const auto Number = ParseUnsigned(Option, Value, 1'000'000);
    if (Number == 0) {
        throw std::invalid_argument(Option + ": modules count from 1");
    }
    return Number;
}

std::set<int> ParseCodes(const std::string& Option, const std::string& Value)
{
    std::set<int> Codes;
    std::stringstream List(Value);
    std::string Item;
    while (std::getline(List, Item, ',')) {
        Codes.insert(static_cast<int>(ParseUnsigned(Option, Item, 99)));
    }
    if (Codes.empty()) {
        throw std::invalid_argument(Option + ": expected a comma-separated list of codes");
    }
    return Codes;
}

TMalformedKind ParseMalformedKind(const std::string& Option, const std::string& Value)
{
    static const std::map<std::string, TMalformedKind> Kinds{
        {"short", TMalformedKind::TooShort},      {"long", TMalformedKind::TooLong},
        {"check", TMalformedKind::BadCheckText},  {"address", TMalformedKind::BadAddress},
        {"code", TMalformedKind::NonDecimalCode}, {"text", TMalformedKind::Text},
    };
    const auto Found = Kinds.find(Value);
    if (Found == Kinds.end()) {
        throw std::invalid_argument(Option + ": expected short, long, check, address, code or text, got \"" + Value +
                                    "\"");
    }
    return Found->second;
}

void ParsePortBytes(const std::string& Option, const std::string& Value, TModuleState& State)
{
    std::stringstream List(Value);
    std::vector<std::string> Items;
    std::string Item;
    while (List >> Item) {
        Items.push_back(Item);
    }
    if (Items.size() != 2 * PortCount) {
        throw std::invalid_argument(Option +
                                    ": expected ten bytes, the directions then the defaults of P0 P1 P2 P4 P5");
    }
    for (std::size_t I = 0; I < Items.size(); ++I) {
        State.PortByte(CodeFirstDirection + static_cast<int>(I)) = ParseHexByte(Option, Items[I]);
    }
}

unsigned ParseLineSpeed(const std::string& Option, const std::string& Value)
{
    const auto Rate = static_cast<unsigned>(ParseUnsigned(Option, Value, 4'000'000));
    if (!IsStandardBaudRate(Rate)) {
        throw std::invalid_argument(Option + ": " + Value + " is not a standard baud rate");
    }
    return Rate;
}

// A list of module numbers such as "3,7-9": numbers and ranges, each within
// 1..Count, separated by commas.
std::set<std::size_t> ParseModuleList(const std::string& Option, const std::string& Value, std::size_t Count)
{
    const auto Refuse = [&](const std::string& Reason) {
        throw std::invalid_argument(Option + ": " + Reason + " in \"" + Value + "\"");
    };
    const auto Number = [&](const std::string& Text) {
        const auto Parsed = ParseUnsigned(Option, Text, 1'000'000);
        if (Parsed == 0 || Parsed > Count) {
            Refuse("module " + Text + " is not one of 1.." + std::to_string(Count));
        }
        return static_cast<std::size_t>(Parsed);
    };
    std::set<std::size_t> Numbers;
    std::size_t Start = 0;
    for (;;) {
        const std::size_t Comma = std::min(Value.find(',', Start), Value.size());
        const std::string Item = Value.substr(Start, Comma - Start);
        if (Item.empty()) {
            Refuse("an empty item");
        }
        const std::size_t Dash = Item.find('-');
        const std::size_t First = Number(Item.substr(0, Dash));
        const std::size_t Last = Dash == std::string::npos ? First : Number(Item.substr(Dash + 1));
        if (Last < First) {
            Refuse("the range " + Item + " runs backwards");
        }
        for (std::size_t Module = First; Module <= Last; ++Module) {
            Numbers.insert(Module);
        }
        if (Comma == Value.size()) {
            return Numbers;
        }
        Start = Comma + 1;
    }
}

// "HOST:PORT", the port from 0 to 65535.
void ParseListen(const std::string& Option, const std::string& Value, TPlantOptions& Plant)
{
    const std::size_t Colon = Value.rfind(':');
    if (Colon == std::string::npos || Colon == 0) {
        throw std::invalid_argument(Option + ": expected HOST:PORT, got \"" + Value + "\"");
    }
    Plant.Host = Value.substr(0, Colon);
    Plant.FirstPort = static_cast<std::uint16_t>(ParseUnsigned(Option, Value.substr(Colon + 1), 65535));
}

// "--dir-p4" -> code 07, "--def-p0" -> code 09.
std::optional<int> PortOptionCode(const std::string& Option)
{
    static const std::string Ports = "01245";
    if (Option.size() != 8 || (Option.rfind("--dir-p", 0) != 0 && Option.rfind("--def-p", 0) != 0)) {
        return std::nullopt;
    }
    const auto Port = Ports.find(Option[7]);
    if (Port == std::string::npos) {
        return std::nullopt;
    }
    const int First = Option[3] == 'i' ? CodeFirstDirection : CodeFirstDefault;
    return First + static_cast<int>(Port);
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Arguments)
{
    TCommandLine Parsed;
    TSimulatorOptions& Options = Parsed.Options;
    TModuleState& State = Options.State;
    TFaults& Faults = Options.Faults;

    using THandler = std::function<void(const std::string& Option, const std::string& Value)>;
    const std::map<std::string, THandler> WithValue{
        {"--device", [&](auto&, auto& V) { Options.DevicePath = V; }},
        {"--baud",
         [&](auto& O, auto& V) { Options.DeviceBaud = static_cast<unsigned>(ParseUnsigned(O, V, 4'000'000)); }},
        {"--link", [&](auto&, auto& V) { Options.LinkPath = V; }},
        {"--line-end-wait", [&](auto& O, auto& V) { Options.LineEndWait = ParseMilliseconds(O, V); }},
        {"--status", [&](auto& O, auto& V) { State.Status = ParseHexByte(O, V); }},
        {"--id", [&](auto& O, auto& V) { State.RemoteId = ParseHexByte(O, V); }},
        {"--baud-index", [&](auto& O, auto& V) { State.BaudIndex = static_cast<int>(ParseUnsigned(O, V, 7)); }},
        {"--name", [&](auto&, auto& V) { State.BiosName = V; }},
        {"--version", [&](auto&, auto& V) { State.BiosVersion = V; }},
        {"--port-bytes", [&](auto& O, auto& V) { ParsePortBytes(O, V, State); }},
        {"--silent-from", [&](auto& O, auto& V) { Faults.SilentFromRequest = ParseUnsigned(O, V, 1'000'000'000); }},
        {"--silent-codes", [&](auto& O, auto& V) { Faults.SilentCodes = ParseCodes(O, V); }},
        {"--unstored-codes", [&](auto& O, auto& V) { Faults.UnstoredCodes = ParseCodes(O, V); }},
        {"--delay", [&](auto& O, auto& V) { Faults.ReplyDelay = ParseMilliseconds(O, V); }},
        {"--split", [&](auto& O, auto& V) { Faults.SplitPieceBytes = ParseUnsigned(O, V, 1'000'000); }},
        {"--split-gap", [&](auto& O, auto& V) { Faults.SplitGap = ParseMilliseconds(O, V); }},
        {"--noise-random", [&](auto& O, auto& V) { Faults.Noise.RandomBytes = ParseUnsigned(O, V, 1'000'000); }},
        {"--noise-text", [&](auto&, auto& V) { Faults.Noise.Text = UnescapeText(V); }},
        {"--noise-seed",
         [&](auto& O, auto& V) { Faults.Noise.Seed = static_cast<std::uint32_t>(ParseUnsigned(O, V, 0xFFFFFFFF)); }},
        {"--malformed", [&](auto& O, auto& V) { Faults.Malformed.Kind = ParseMalformedKind(O, V); }},
        {"--malformed-text", [&](auto&, auto& V) { Faults.Malformed.Text = UnescapeText(V); }},
        {"--series-gap", [&](auto& O, auto& V) { Options.Series.Gap = ParseMilliseconds(O, V); }},
        {"--faulty-module", [&](auto& O, auto& V) { Options.Series.FaultyModule = ParseModuleNumber(O, V); }},
        {"--silent-module", [&](auto& O, auto& V) { Options.Series.SilentModule = ParseModuleNumber(O, V); }},
        {"--line-baud",
         [&](auto& O, auto& V) { Faults.LineBaud = static_cast<unsigned>(ParseUnsigned(O, V, 4'000'000)); }},
        {"--line-speed", [&](auto& O, auto& V) { Options.LineSpeed = ParseLineSpeed(O, V); }},
        {"--twin-delay",
         [&](auto& O, auto& V) {
             Faults.Twin = true;
             Faults.TwinDelay = ParseMilliseconds(O, V);
         }},
    };
    const std::map<std::string, std::function<void()>> Flags{
        {"--help", [&] { Parsed.Help = true; }},
        {"-h", [&] { Parsed.Help = true; }},
        {"--lf", [&] { Options.LineFeedAfterReply = true; }},
        {"--print-requests", [&] { Parsed.PrintRequests = true; }},
        {"--noise-after", [&] { Faults.Noise.Placement = TNoisePlacement::AfterReply; }},
        {"--lower-case", [&] { Faults.LowerCaseData = true; }},
        {"--series", [&] { Options.Series.Enabled = true; }},
        {"--malformed-instead", [&] { Faults.Malformed.Placement = TMalformedPlacement::InsteadOfReply; }},
        {"--echo", [&] { Faults.Echo = true; }},
        {"--twin", [&] { Faults.Twin = true; }},
        {"--twin-overlap",
         [&] {
             Faults.Twin = true;
             Faults.TwinOverlap = true;
         }},
    };

    // The plant's options; its lists are read once the plant's size is known.
    TPlantOptions Plant;
    std::map<std::string, std::string> PlantLists;
    const std::set<std::string> PlantOnly{"--listen",           "--plant-differ",   "--plant-silent",   "--plant-drop",
                                          "--plant-drop-after", "--no-line-timing", "--plant-inventory"};
    std::set<std::string> Given;
    std::optional<std::size_t> PlantCount;
    const std::map<std::string, THandler> PlantWithValue{
        {"--plant", [&](auto& O, auto& V) { PlantCount = ParseModuleNumber(O, V); }},
        {"--listen", [&](auto& O, auto& V) { ParseListen(O, V, Plant); }},
        {"--plant-differ", [&](auto& O, auto& V) { PlantLists[O] = V; }},
        {"--plant-silent", [&](auto& O, auto& V) { PlantLists[O] = V; }},
        {"--plant-drop", [&](auto& O, auto& V) { PlantLists[O] = V; }},
        {"--plant-drop-after", [&](auto& O, auto& V) { Plant.DropAfterRequests = ParseModuleNumber(O, V); }},
        {"--plant-inventory", [&](auto&, auto& V) { Parsed.PlantInventory = V; }},
    };

    for (std::size_t I = 0; I < Arguments.size(); ++I) {
        std::string Option = Arguments[I];
        std::optional<std::string> Value;
        if (const auto Equals = Option.find('='); Option.rfind("--", 0) == 0 && Equals != std::string::npos) {
            Value = Option.substr(Equals + 1);
            Option.resize(Equals);
        }
        Given.insert(Option);
        if (Option == "--no-line-timing") {
            if (Value) {
                throw std::invalid_argument(Option + " takes no value");
            }
            Plant.LineTiming = false;
            continue;
        }
        if (const auto Flag = Flags.find(Option); Flag != Flags.end()) {
            if (Value) {
                throw std::invalid_argument(Option + " takes no value");
            }
            Flag->second();
            continue;
        }
        if (const auto PlantOption = PlantWithValue.find(Option); PlantOption != PlantWithValue.end()) {
            if (!Value && I + 1 == Arguments.size()) {
                throw std::invalid_argument(Option + " needs a value");
            }
            PlantOption->second(Option, Value ? *Value : Arguments[++I]);
            continue;
        }
        const auto Found = WithValue.find(Option);
        const auto PortCode = PortOptionCode(Option);
        if (Found == WithValue.end() && !PortCode) {
            throw std::invalid_argument("unknown option \"" + Option + "\" (see --help)");
        }
        if (!Value) {
            if (I + 1 == Arguments.size()) {
                throw std::invalid_argument(Option + " needs a value");
            }
            Value = Arguments[++I];
        }
        if (PortCode) {
            State.PortByte(*PortCode) = ParseHexByte(Option, *Value);
        } else {
            Found->second(Option, *Value);
        }
    }

    if (PlantCount) {
        // A plant has its own modules and lines: the options of the one
        // module on a line do not apply to it.
        for (const std::string& Option : Given) {
            if (Option != "--plant" && !PlantOnly.contains(Option) && Option != "--help" && Option != "-h") {
                throw std::invalid_argument(Option + " does not apply to --plant");
            }
        }
        Plant.Count = *PlantCount;
        const auto ListOf = [&](const std::string& Option) {
            const auto Found = PlantLists.find(Option);
            return Found == PlantLists.end() ? std::set<std::size_t>{}
                                             : ParseModuleList(Option, Found->second, Plant.Count);
        };
        Plant.Differ = ListOf("--plant-differ");
        Plant.Silent = ListOf("--plant-silent");
        Plant.Drop = ListOf("--plant-drop");
        Parsed.Plant = Plant;
        return Parsed;
    }
    for (const std::string& Option : Given) {
        if (PlantOnly.contains(Option)) {
            throw std::invalid_argument(Option + " needs --plant");
        }
    }

    if (Faults.Malformed.Kind == TMalformedKind::Text && Faults.Malformed.Text.empty()) {
        throw std::invalid_argument("--malformed text needs --malformed-text");
    }
    // A faulty or a silent module only makes sense in a series.
    if (Options.Series.FaultyModule != 0 || Options.Series.SilentModule != 0) {
        Options.Series.Enabled = true;
    }
    if (!Options.DevicePath.empty() && !Options.LinkPath.empty()) {
        throw std::invalid_argument("--link applies to a pseudo-terminal, not to --device");
    }
    State.Validate();
    return Parsed;
}

std::string UsageText()
{
    return R"(Usage: varnolink-sim [OPTION]...
Simulates the VARNOLINK I/O module at the far end of a serial line.

Without --device it creates a pseudo-terminal, prints the path of its slave
side alone on the first line of standard output and answers requests there
until it receives SIGINT or SIGTERM (exit status 0). Open that path as the
module's serial port. Exit status 2: bad command line or the line could not
be opened.

The module answers reads of codes 00..13 with the current value, stores and
echoes valid writes of codes 02..13, restores the factory settings on the
code 99 write, and does not answer anything else (invalid write arguments,
unknown codes, malformed frames).

Line:
  --device PATH          answer on this serial device (raw, 8N1, no flow
                         control) instead of a pseudo-terminal
  --baud B               line speed for --device (default 9600)
  --link PATH            also make a symbolic link to the pseudo-terminal
                         here (removed on exit)
  --lf                   end reply lines with CR LF instead of CR
  --line-speed B         answer only while the line is set to B baud (the
                         speed the host sets on the pseudo-terminal, or that
                         of --device); a request at another speed gets no
                         reply and stores nothing (default: any speed)
  --line-end-wait MS     how long a request that ended with CR waits for its
                         LF before it is answered without one (default 100)
  --print-requests       print every request frame received to standard
                         error, escaped (\r, \n, \\, \xHH), one per line

Module state (the defaults are the factory settings):
  --status HH            status byte: 00 ready (default), 01 error
  --id HH                Remote ID code (default 01)
  --baud-index N         remote baud-rate index 0..7 (default 3 = 9600)
  --name TEXT            BIOS name, exactly 13 characters
                         (default "VARNOLINK I/O")
  --version TEXT         BIOS version, exactly 5 characters (default "1.00a")
  --port-bytes "D0 D1 D2 D4 D5 F0 F1 F2 F4 F5"
                         the directions of P0 P1 P2 P4 P5, then their
                         power-on defaults, as hex bytes
                         (default "00 00 F0 FF FF FF FF FF FF FF")
  --dir-p0 HH ... --dir-p5 HH, --def-p0 HH ... --def-p5 HH
                         the direction / power-on default of one port
                         (ports p0 p1 p2 p4 p5)

TFaults (all off by default; they change only what is sent, requests are
still recorded and writes still stored, but for --unstored-codes):
  --silent-from N        no reply to the Nth request and every later one
  --silent-codes LIST    no reply to these codes, e.g. 4,5,99
  --unstored-codes LIST  answer writes to these codes but keep the old value
  --delay MS             hold each reply back by MS milliseconds
  --split K              send the answer to each request in pieces of K bytes
  --split-gap MS         silence between those pieces (default 0)
  --noise-random N       send N random bytes of line noise with each reply
                         (never "*" or CR)
  --noise-text TEXT      send TEXT as line noise with each reply (escapes
                         \r \n \t \\ \0 \xHH)
  --noise-after          send the noise after the reply (between replies)
                         instead of before it
  --noise-seed S         seed of the random noise (default 1)
  --lower-case           send the data of 13-character replies in lower case
  --malformed KIND       send a wrong line before each reply:
                           short    one character too few
                           long     one character too many
                           check    ";" instead of ":" after the address
                           address  "01" instead of "??"
                           code     "0A" instead of the command code
                           text     the text of --malformed-text, as is
  --malformed-text TEXT  the line for --malformed text (escapes as above;
                         give its line end, e.g. "*junk\r")
  --malformed-instead    send the wrong line instead of the reply
  --line-baud B          emulate the line time of B baud (10 bits a
                         character): a reply starts no earlier than the
                         request took to arrive at B baud, and its bytes go
                         out one character time apart
  --echo                 the line sends every byte the host writes straight
                         back to it, ahead of the reply (an adapter that
                         hears itself)
  --twin                 a second module answers every answered request too:
                         its reply line follows the module's, with the
                         Remote ID one higher and otherwise the same data
  --twin-overlap         like --twin, but both send at once: the bytes of
                         the two replies alternate on the line
  --twin-delay MS        like --twin, but the second module's reply line
                         follows the module's MS later (a request sent
                         meanwhile is answered after it)

Series of modules (as when modules are commissioned one after another):
  --series               once a module's whole configuration has been written
                         and read back, the module is unplugged: the line
                         stays silent for a while, then a fresh factory module
                         answers (Remote ID 01, factory baud rate and ports)
  --series-gap MS        how long the line stays silent between two modules
                         (default 1000)
  --faulty-module N      the Nth module (counting from 1) stores and echoes
                         its P0 direction write with bit 0 flipped; implies
                         --series
  --silent-module N      the Nth module answers its first six writes and
                         then nothing more; it is unplugged and the next
                         module answers after the gap; implies --series

Plant of modules on TCP (as behind serial device servers with raw TCP
access, one port per module's line); prints the port name of each module,
"socket://HOST:PORT", on a line of its own, module 1 first, then serves until
SIGINT or SIGTERM. None of the options above apply to a plant.
  --plant N              serve N modules, each with its own planned
                         configuration (Remote ID, version and port bytes
                         that differ from module to module)
  --listen HOST:PORT     address of module 1; module n listens on PORT+n-1
                         (default 127.0.0.1:0; port 0 picks a free run of N
                         ports between 20000 and 60000)
  --plant-differ LIST    these modules hold their planned configuration with
                         the P0 direction byte inverted; LIST is module
                         numbers and ranges, e.g. 3,7-9
  --plant-silent LIST    these modules take connections and requests but
                         never answer and change nothing
  --plant-drop LIST      these modules close the connection when its Nth
                         request arrives, without answering it
  --plant-drop-after N   that N (default 5)
  --no-line-timing       answer at once instead of taking the time of the
                         9600-baud line for each request and reply
  --plant-inventory DIR  write DIR/plant.csv (name,port,config,location) and
                         DIR/module-NNN.ini with each module's planned
                         configuration, in the configuration file format

  -h, --help             show this text
)";
}

}  // namespace varnolink::sim
