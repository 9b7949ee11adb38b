// SPDX-License-Identifier: MIT
// net_write_bench: one-byte writes on an rfc2217:// port, as the window
// sends its requests (one WriteBytes per byte), against a bare send(2) of
// one byte on a TCP socket to the same server, in the same run.
//
//   BENCH rfc2217_one_byte_write_vs_bare_send  ns per WriteBytes(&c, 1) on
//       a port with its default events (an event thread with evTxEmpty in
//       its mask, no OnTxEmpty: the writes wake it not),
//       over ns per one-byte send(2) with TCP_NODELAY. The server (a child
//       process) reads both. Blocks of the two alternate so that a change
//       in the machine's load touches both alike.

#include "bench/cport/forked_peer.h"
#include "bench/median.h"
#include "cport/comport.h"
#include "cport/unique_fd.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::Median;
using TClock = std::chrono::steady_clock;

constexpr int Blocks = 15;
constexpr int WritesPerBlock = 1000;

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        throw std::runtime_error(What);
}

double NsPerWrite(TClock::duration Span)
{
    return std::chrono::duration<double, std::nano>(Span).count() / WritesPerBlock;
}

// A block of one-byte writes through the component.
double PortBlock(const std::string& Url)
{
    cport::TComPort Port;
    Port.SetPort(Url);
    Port.Open();
    const char Byte = 'w';
    const auto Start = TClock::now();
    for (int Write = 0; Write < WritesPerBlock; ++Write)
        Check(Port.WriteBytes(&Byte, 1) == 1, "a one-byte write");
    const double Ns = NsPerWrite(TClock::now() - Start);
    Port.Close();
    return Ns;
}

// The same block as bare sends on a socket of its own.
double BareBlock(int ServerPort)
{
    const cport::TUniqueFd Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int On = 1;
    Check(::setsockopt(Socket.get(), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On) == 0, "TCP_NODELAY");
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<uint16_t>(ServerPort));
    Check(::connect(Socket.get(), reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0, "connect");
    const char Byte = 'w';
    const auto Start = TClock::now();
    for (int Write = 0; Write < WritesPerBlock; ++Write)
        Check(::send(Socket.get(), &Byte, 1, MSG_NOSIGNAL) == 1, "a one-byte send");
    return NsPerWrite(TClock::now() - Start);
}

}  // namespace

int main()
{
    try {
        forked_peer::TForkedPeer Server;
        std::vector<double> Ours, Bare;
        PortBlock(Server.Url());
        BareBlock(Server.Port());
        for (int Block = 0; Block < Blocks; ++Block) {
            Ours.push_back(PortBlock(Server.Url()));
            Bare.push_back(BareBlock(Server.Port()));
        }
        const double OursNs = Median(Ours), BareNs = Median(Bare);
        std::printf("One-byte writes to a telnet server on loopback, medians of %d blocks of %d\n", Blocks,
                    WritesPerBlock);
        std::printf("  %-40s %10.0f ns\n", "WriteBytes on rfc2217://", OursNs);
        std::printf("  %-40s %10.0f ns\n", "bare send(2)", BareNs);
        std::printf("BENCH rfc2217_one_byte_write_vs_bare_send %.3f\n", OursNs / BareNs);
        std::printf("BENCHROW one-byte write on rfc2217://, ns (vs a bare one-byte send(2))|%.0f|%.0f|%.2f|<= 1.2\n",
                    OursNs, BareNs, OursNs / BareNs);
    } catch (const std::exception& Failure) {
        std::fprintf(stderr, "net_write_bench: %s\n", Failure.what());
        return 1;
    }
    return 0;
}
