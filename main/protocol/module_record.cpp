// SPDX-License-Identifier: MIT
// Gathers the values of decoded replies into the record of one module and
// tracks which of its readings have answered.
#include "main/protocol/module_record.h"

namespace varnolink {

namespace {

const char* StatusText(TModuleStatus Status)
{
    switch (Status) {
    case TModuleStatus::Ready:
        return "Ready";
    case TModuleStatus::Error:
        return "Error";
    case TModuleStatus::Other:
        break;
    }
    return "";
}

}  // namespace

void TModuleRecord::Take(const TDecodedReply& Reply)
{
    struct TTake {
        TModuleReading& R;
        void operator()(const TIdentityReply& Id) const
        {
            R.Identity.BiosName = Id.BiosName;
            R.Identity.BiosVersion = Id.BiosVersion;
        }
        void operator()(const TStatusReply& S) const { R.Identity.StatusText = StatusText(S.Status); }
        void operator()(const TIDCodeReply& Id) const { R.Config.RemoteId = Id.RemoteId; }
        void operator()(const TBaudrateReply& B) const { R.Config.BaudIndex = B.Index; }
        void operator()(const TPortReply& P) const { R.Config.PortByte(P.Grid, P.Row) = P.Value; }
    };
    std::visit(TTake{Reading_}, Reply);
    Answered_.set(static_cast<std::size_t>(ReplyCode(Reply)));
}

bool TModuleRecord::Answered(int Code) const
{
    return Code >= 0 && Code <= CodeLastPort && Answered_.test(static_cast<std::size_t>(Code));
}

bool TModuleRecord::AnsweredAllSettings() const
{
    for (int Code = CodeIDCode; Code <= CodeLastPort; ++Code)
        if (!Answered(Code))
            return false;
    return true;
}

}  // namespace varnolink
