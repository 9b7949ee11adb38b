// SPDX-License-Identifier: MIT
// Host look-ups: numeric at once, names in place or on a thread of their own.
#include "cport/name_lookup.h"

#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace cport {

// What the lookup writes and the owner reads; shared with the resolver
// thread, so that an owner that goes first leaves it valid for the thread.
struct TNameLookup::TState {
    std::string Host, Service;
    addrinfo Hints{};
    TUniqueFd DoneFd;  // eventfd: signalled once Finished
    std::atomic<bool> Finished{false};
    int Status = 0;
    int SystemError = 0;
    TAddrList List;

    void Resolve()
    {
        addrinfo* Found = nullptr;
        Status = ::getaddrinfo(Host.c_str(), Service.c_str(), &Hints, &Found);
        SystemError = Status == EAI_SYSTEM ? errno : 0;
        List.reset(Status == 0 ? Found : nullptr);
        Finished.store(true, std::memory_order_release);
    }
};

TNameLookup::TNameLookup(const std::string& Host, const std::string& Service, const addrinfo& Hints, bool Aside)
    : State_(std::make_shared<TState>())
{
    TState& S = *State_;
    S.Host = Host;
    S.Service = Service;
    S.Hints = Hints;
    // An address written as numbers needs no resolver: found (or refused)
    // here. Nor does it ask which address families the host has configured
    // (AI_ADDRCONFIG costs a routing socket's dump of every address): the
    // connect itself says whether the address can be reached.
    S.Hints.ai_flags = (Hints.ai_flags | AI_NUMERICHOST) & ~AI_ADDRCONFIG;
    S.Resolve();
    S.Hints.ai_flags = Hints.ai_flags;
    if (S.Status != EAI_NONAME || (Hints.ai_flags & AI_NUMERICHOST) != 0)
        return;
    if (!Aside) {
        S.Resolve();
        return;
    }
    S.Finished.store(false);
    S.DoneFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    try {
        if (!S.DoneFd)
            throw std::system_error(errno, std::generic_category(), "eventfd");
        Thread_ = std::thread([State = State_] {
            State->Resolve();
            const uint64_t One = 1;
            [[maybe_unused]] ssize_t N = ::write(State->DoneFd.get(), &One, sizeof One);
        });
    } catch (const std::system_error& Failure) {
        // No thread to look it up on: a failed lookup, not a wait.
        S.DoneFd.Reset();
        S.Status = EAI_SYSTEM;
        S.SystemError = Failure.code().value();
        S.Finished.store(true);
    }
}

TNameLookup::~TNameLookup()
{
    if (!Thread_.joinable())
        return;
    // A finished thread is only returning: joined. One still in the
    // resolver is left to it; the state it writes lives on with it.
    if (Done())
        Thread_.join();
    else
        Thread_.detach();
}

bool TNameLookup::Done() const
{
    return State_->Finished.load(std::memory_order_acquire);
}

int TNameLookup::Fd() const
{
    return State_->DoneFd.get();
}

int TNameLookup::Status() const
{
    return State_->Status;
}

int TNameLookup::SystemError() const
{
    return State_->SystemError;
}

TNameLookup::TAddrList TNameLookup::TakeList()
{
    return std::move(State_->List);
}

}  // namespace cport
