#include "accounts/CZelWorkerSlot.h"

// Never destroyed: a thread still in a slot at the process's end must not be joined from a
// static destructor.
CZelWorkerSlot<CZelKeysGenThread>& KeysGenSlot()
{
    static auto* slot = new CZelWorkerSlot<CZelKeysGenThread>;
    return *slot;
}

CZelWorkerSlot<CZelRegisterThread>& RegisterSlot()
{
    static auto* slot = new CZelWorkerSlot<CZelRegisterThread>;
    return *slot;
}

CZelWorkerSlot<CZelContactListModifyThread>& ContactListSlot()
{
    static auto* slot = new CZelWorkerSlot<CZelContactListModifyThread>;
    return *slot;
}
