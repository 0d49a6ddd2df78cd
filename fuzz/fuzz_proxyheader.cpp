// The PROXY protocol header parser on arbitrary bytes, as a balancer or an attacker may send them.
// Properties:
//   - only EIdProxyHeaderInvalid escapes, and an answer never lies beyond the bytes given nor
//     beyond the protocol's limits;
//   - bytes arriving in pieces change nothing: every beginning of a header that the whole input
//     completes asks for more, and what follows the header does not change the answer;
//   - a beginning that asks for more is only ever refused or completed by later bytes, never
//     made to have been complete earlier.
#include <cstdint>
#include <cstring>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/server/IdProxyProtocol.h>
#include "fuzz/FuzzSupport.h"

using namespace Id;
using namespace IdFuzz;

namespace {

// The length answered, 0 for "more", SIZE_MAX when refused.
size_t Outcome(const uint8_t* AData, size_t ASize, TIdProxyHeader& VHeader) {
    try {
        return ParseProxyHeader(AData, ASize, VHeader);
    } catch (const EIdProxyHeaderInvalid&) {
        return SIZE_MAX;
    }
}

bool SameHeader(const TIdProxyHeader& A, const TIdProxyHeader& B) {
    if (A.Local != B.Local) return false;
    if (A.Local) return true;
    return A.IPVersion == B.IPVersion && A.SourceAddress == B.SourceAddress &&
           A.DestinationAddress == B.DestinationAddress && A.SourcePort == B.SourcePort &&
           A.DestinationPort == B.DestinationPort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    TIdProxyHeader whole;
    const size_t length = Outcome(AData, ASize, whole);
    if (length == SIZE_MAX || length == 0) {
        // Refused or incomplete: no beginning of it was complete.
        for (size_t n = 0; n < ASize; n += 1 + n / 8) {
            TIdProxyHeader partial;
            const size_t earlier = Outcome(AData, n, partial);
            Expect(earlier == 0 || earlier == SIZE_MAX, "a beginning completed what the whole did not");
            if (length == 0) Expect(earlier == 0, "a beginning was refused that more bytes may complete");
        }
        return 0;
    }
    Expect(length <= ASize, "header longer than the input");
    Expect(length <= IdProxyV2MaxLength, "header longer than the protocol allows");
    for (size_t n = 0; n < length; n += 1 + n / 8) {
        TIdProxyHeader partial;
        Expect(Outcome(AData, n, partial) == 0, "a beginning of a header was not asked to go on");
    }
    // Only the header's own bytes decide.
    std::vector<uint8_t> alone(AData, AData + length);
    TIdProxyHeader again;
    Expect(Outcome(alone.data(), alone.size(), again) == length && SameHeader(again, whole),
           "the bytes after the header changed it");
    return 0;
}
