// SPDX-License-Identifier: MIT
// Internal: a host looked up without holding the caller. A numeric address
// is converted at once; a name, for a caller that must not wait, is looked
// up on a resolver thread of its own, which signals an eventfd when it ends,
// so that a loop serving many ports watches that descriptor like any other.
#pragma once

#include "cport/unique_fd.h"

#include <netdb.h>

#include <memory>
#include <string>
#include <thread>

namespace cport {

class TNameLookup {
public:
    struct TAddrInfoFree {
        void operator()(addrinfo* Info) const { ::freeaddrinfo(Info); }
    };
    using TAddrList = std::unique_ptr<addrinfo, TAddrInfoFree>;

    // Looks Host and Service up with Hints. A numeric host is done here. A
    // name is looked up here too (the resolver's time) unless Aside, when a
    // thread of its own does it.
    TNameLookup(const std::string& Host, const std::string& Service, const addrinfo& Hints, bool Aside);
    // A lookup still under way is left to end on its thread, which holds
    // what it writes to; the caller does not wait for the resolver.
    ~TNameLookup();
    TNameLookup(const TNameLookup&) = delete;
    TNameLookup& operator=(const TNameLookup&) = delete;

    bool Done() const;
    // Readable once the lookup has ended; -1 for one done at once.
    int Fd() const;
    // Once done: getaddrinfo's code (0: found), with the errno of EAI_SYSTEM.
    int Status() const;
    int SystemError() const;
    // Once done: the addresses found (null when none); taken once.
    TAddrList TakeList();

    struct TState;

private:
    std::shared_ptr<TState> State_;
    std::thread Thread_;
};

}  // namespace cport
