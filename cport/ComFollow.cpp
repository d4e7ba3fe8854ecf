#include "cport/ComLink.h"
#include "cport/ComPort.h"

void BindLink(TComponent& Follower, TComLink& Link, TCustomComPort*& Current, TCustomComPort* Value) {
    if (!Value) return;
    Value->FreeNotification(&Follower);
    try {
        Value->RegisterLink(&Link);
    } catch (...) {
        Value->RemoveFreeNotification(&Follower);
        throw;
    }
    Current = Value;
}

void UnbindLink(TComponent& Follower, TComLink& Link, TCustomComPort*& Current) {
    if (!Current) return;
    TCustomComPort* old = Current;
    Current = nullptr;
    old->RemoveFreeNotification(&Follower);
    old->UnRegisterLink(&Link);
}
