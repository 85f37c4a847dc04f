#include "faults.h"

namespace {

struct ArmedFault {
    bool Armed = false;
    uint32_t SkipCalls = 0;
    FaultKind Kind = FaultKind::Fail;
    DWORD ErrorCode = 0;
    bool Repeat = false;
};

ArmedFault Faults[static_cast<int>(FaultPoint::Count)];

} // namespace

void Fault_Arm(FaultPoint Point, uint32_t SkipCalls, FaultKind Kind, DWORD ErrorCode, bool Repeat)
{
    Faults[static_cast<int>(Point)] = ArmedFault{true, SkipCalls, Kind, ErrorCode, Repeat};
}

void Fault_DisarmAll()
{
    for (ArmedFault& Fault : Faults)
        Fault = ArmedFault{};
}

bool Fault_Hit(FaultPoint Point, FaultKind* Kind, DWORD* ErrorCode)
{
    ArmedFault& Fault = Faults[static_cast<int>(Point)];
    if (!Fault.Armed)
        return false;
    if (Fault.SkipCalls > 0) {
        Fault.SkipCalls--;
        return false;
    }
    *Kind = Fault.Kind;
    *ErrorCode = Fault.ErrorCode;
    if (!Fault.Repeat)
        Fault.Armed = false;
    return true;
}
