// SPDX-License-Identifier: MIT
#include "sim/command_line.h"

#include <charconv>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "sim/text_escape.h"

namespace varnolink::sim {

namespace {

using namespace std::string_literals;

unsigned long long ParseUnsigned(const std::string& option, const std::string& value, unsigned long long max) {
    unsigned long long number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc{} || end != value.data() + value.size() || number > max) {
        throw std::invalid_argument(option + ": expected a number from 0 to " + std::to_string(max) + ", got \"" +
                                    value + "\"");
    }
    return number;
}

std::uint8_t ParseHexByte(const std::string& option, const std::string& value) {
    unsigned number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number, 16);
    if (value.size() != 2 || error != std::errc{} || end != value.data() + value.size()) {
        throw std::invalid_argument(option + ": expected two hex digits, got \"" + value + "\"");
    }
    return static_cast<std::uint8_t>(number);
}

std::chrono::milliseconds ParseMilliseconds(const std::string& option, const std::string& value) {
    return std::chrono::milliseconds(ParseUnsigned(option, value, 3'600'000));
}

std::size_t ParseModuleNumber(const std::string& option, const std::string& value) {
    const auto number = ParseUnsigned(option, value, 1'000'000);
    if (number == 0) {
        throw std::invalid_argument(option + ": modules count from 1");
    }
    return number;
}

std::set<int> ParseCodes(const std::string& option, const std::string& value) {
    std::set<int> codes;
    std::stringstream list(value);
    std::string item;
    while (std::getline(list, item, ',')) {
        codes.insert(static_cast<int>(ParseUnsigned(option, item, 99)));
    }
    if (codes.empty()) {
        throw std::invalid_argument(option + ": expected a comma-separated list of codes");
    }
    return codes;
}

MalformedKind ParseMalformedKind(const std::string& option, const std::string& value) {
    static const std::map<std::string, MalformedKind> kKinds{
        {"short", MalformedKind::kTooShort},      {"long", MalformedKind::kTooLong},
        {"check", MalformedKind::kBadCheckText},  {"address", MalformedKind::kBadAddress},
        {"code", MalformedKind::kNonDecimalCode}, {"text", MalformedKind::kText},
    };
    const auto found = kKinds.find(value);
    if (found == kKinds.end()) {
        throw std::invalid_argument(option + ": expected short, long, check, address, code or text, got \"" +
                                    value + "\"");
    }
    return found->second;
}

void ParsePortBytes(const std::string& option, const std::string& value, ModuleState& state) {
    std::stringstream list(value);
    std::vector<std::string> items;
    std::string item;
    while (list >> item) {
        items.push_back(item);
    }
    if (items.size() != 2 * kPortCount) {
        throw std::invalid_argument(option + ": expected ten bytes, the directions then the defaults of P0 P1 P2 P4 P5");
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        state.PortByte(kCodeFirstDirection + static_cast<int>(i)) = ParseHexByte(option, items[i]);
    }
}

// "--dir-p4" -> code 07, "--def-p0" -> code 09.
std::optional<int> PortOptionCode(const std::string& option) {
    static const std::string kPorts = "01245";
    if (option.size() != 8 || (option.rfind("--dir-p", 0) != 0 && option.rfind("--def-p", 0) != 0)) {
        return std::nullopt;
    }
    const auto port = kPorts.find(option[7]);
    if (port == std::string::npos) {
        return std::nullopt;
    }
    const int first = option[3] == 'i' ? kCodeFirstDirection : kCodeFirstDefault;
    return first + static_cast<int>(port);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    SimulatorOptions& options = line.options;
    ModuleState& state = options.state;
    Faults& faults = options.faults;

    using Handler = std::function<void(const std::string& option, const std::string& value)>;
    const std::map<std::string, Handler> withValue{
        {"--device", [&](auto&, auto& v) { options.devicePath = v; }},
        {"--baud", [&](auto& o, auto& v) { options.deviceBaud = static_cast<unsigned>(ParseUnsigned(o, v, 4'000'000)); }},
        {"--link", [&](auto&, auto& v) { options.linkPath = v; }},
        {"--line-end-wait", [&](auto& o, auto& v) { options.lineEndWait = ParseMilliseconds(o, v); }},
        {"--status", [&](auto& o, auto& v) { state.status = ParseHexByte(o, v); }},
        {"--id", [&](auto& o, auto& v) { state.remoteId = ParseHexByte(o, v); }},
        {"--baud-index", [&](auto& o, auto& v) { state.baudIndex = static_cast<int>(ParseUnsigned(o, v, 7)); }},
        {"--name", [&](auto&, auto& v) { state.biosName = v; }},
        {"--version", [&](auto&, auto& v) { state.biosVersion = v; }},
        {"--port-bytes", [&](auto& o, auto& v) { ParsePortBytes(o, v, state); }},
        {"--silent-from", [&](auto& o, auto& v) { faults.silentFromRequest = ParseUnsigned(o, v, 1'000'000'000); }},
        {"--silent-codes", [&](auto& o, auto& v) { faults.silentCodes = ParseCodes(o, v); }},
        {"--delay", [&](auto& o, auto& v) { faults.replyDelay = ParseMilliseconds(o, v); }},
        {"--split", [&](auto& o, auto& v) { faults.splitPieceBytes = ParseUnsigned(o, v, 1'000'000); }},
        {"--split-gap", [&](auto& o, auto& v) { faults.splitGap = ParseMilliseconds(o, v); }},
        {"--noise-random", [&](auto& o, auto& v) { faults.noise.randomBytes = ParseUnsigned(o, v, 1'000'000); }},
        {"--noise-text", [&](auto&, auto& v) { faults.noise.text = UnescapeText(v); }},
        {"--noise-seed", [&](auto& o, auto& v) { faults.noise.seed = static_cast<std::uint32_t>(ParseUnsigned(o, v, 0xFFFFFFFF)); }},
        {"--malformed", [&](auto& o, auto& v) { faults.malformed.kind = ParseMalformedKind(o, v); }},
        {"--malformed-text", [&](auto&, auto& v) { faults.malformed.text = UnescapeText(v); }},
        {"--series-gap", [&](auto& o, auto& v) { options.series.gap = ParseMilliseconds(o, v); }},
        {"--faulty-module", [&](auto& o, auto& v) { options.series.faultyModule = ParseModuleNumber(o, v); }},
        {"--silent-module", [&](auto& o, auto& v) { options.series.silentModule = ParseModuleNumber(o, v); }},
        {"--line-baud", [&](auto& o, auto& v) { faults.lineBaud = static_cast<unsigned>(ParseUnsigned(o, v, 4'000'000)); }},
    };
    const std::map<std::string, std::function<void()>> flags{
        {"--help", [&] { line.help = true; }},
        {"-h", [&] { line.help = true; }},
        {"--lf", [&] { options.lineFeedAfterReply = true; }},
        {"--print-requests", [&] { line.printRequests = true; }},
        {"--noise-after", [&] { faults.noise.placement = NoisePlacement::kAfterReply; }},
        {"--lower-case", [&] { faults.lowerCaseData = true; }},
        {"--series", [&] { options.series.enabled = true; }},
        {"--malformed-instead", [&] { faults.malformed.placement = MalformedPlacement::kInsteadOfReply; }},
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (const auto flag = flags.find(option); flag != flags.end()) {
            if (value) {
                throw std::invalid_argument(option + " takes no value");
            }
            flag->second();
            continue;
        }
        const auto handler = withValue.find(option);
        const auto portCode = PortOptionCode(option);
        if (handler == withValue.end() && !portCode) {
            throw std::invalid_argument("unknown option \"" + option + "\" (see --help)");
        }
        if (!value) {
            if (i + 1 == arguments.size()) {
                throw std::invalid_argument(option + " needs a value");
            }
            value = arguments[++i];
        }
        if (portCode) {
            state.PortByte(*portCode) = ParseHexByte(option, *value);
        } else {
            handler->second(option, *value);
        }
    }

    if (faults.malformed.kind == MalformedKind::kText && faults.malformed.text.empty()) {
        throw std::invalid_argument("--malformed text needs --malformed-text");
    }
    // A faulty or a silent module only makes sense in a series.
    if (options.series.faultyModule != 0 || options.series.silentModule != 0) {
        options.series.enabled = true;
    }
    if (!options.devicePath.empty() && !options.linkPath.empty()) {
        throw std::invalid_argument("--link applies to a pseudo-terminal, not to --device");
    }
    state.Validate();
    return line;
}

std::string UsageText() {
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

Faults (all off by default; they change only what is sent, requests are
still recorded and writes still stored):
  --silent-from N        no reply to the Nth request and every later one
  --silent-codes LIST    no reply to these codes, e.g. 4,5,99
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

  -h, --help             show this text
)";
}

}  // namespace varnolink::sim
