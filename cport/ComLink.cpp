#include "cport/ComLink.h"

#include "platform/toolkit/MessageTarget.h"

#include <algorithm>
#include <chrono>

bool TComLinkList::Add(TComLink* Link) {
    if (Link == nullptr) return false;
    std::lock_guard lock(FLock);
    if (std::find(FLinks.begin(), FLinks.end(), Link) != FLinks.end()) return false;
    FLinks.push_back(Link);
    return true;
}

bool TComLinkList::Remove(TComLink* Link) {
    std::unique_lock lock(FLock);
    auto it = std::find(FLinks.begin(), FLinks.end(), Link);
    if (it == FLinks.end()) return false;
    FLinks.erase(it);
    // A callback of this link on our own thread is the caller itself (a link unregistering from
    // inside its callback); waiting for it would never end.
    const auto self = std::this_thread::get_id();
    const auto idle = [&] {
        return std::none_of(FActive.begin(), FActive.end(),
                            [&](const auto& a) { return a.first == Link && a.second != self; });
    };
    // The callback in flight may itself be waiting for this thread (a Synchronize or a sent
    // message), so keep serving those while waiting.
    while (!FIdle.wait_for(lock, std::chrono::milliseconds(5), idle)) {
        lock.unlock();
        ProcessMessages();
        lock.lock();
    }
    return true;
}

bool TComLinkList::Contains(TComLink* Link) const {
    std::lock_guard lock(FLock);
    return std::find(FLinks.begin(), FLinks.end(), Link) != FLinks.end();
}

int TComLinkList::Count() const {
    std::lock_guard lock(FLock);
    return static_cast<int>(FLinks.size());
}

bool TComLinkList::AnyTakesRxBuf() const {
    std::lock_guard lock(FLock);
    return std::any_of(FLinks.begin(), FLinks.end(), [](const TComLink* l) { return bool(l->OnRxBuf); });
}

std::vector<TComLink*> TComLinkList::Snapshot() const {
    std::lock_guard lock(FLock);
    return FLinks;
}

bool TComLinkList::Enter(TComLink* Link) {
    std::lock_guard lock(FLock);
    if (std::find(FLinks.begin(), FLinks.end(), Link) == FLinks.end()) return false;
    FActive.emplace_back(Link, std::this_thread::get_id());
    return true;
}

void TComLinkList::Leave(TComLink* Link) {
    {
        std::lock_guard lock(FLock);
        const auto self = std::this_thread::get_id();
        auto it = std::find(FActive.begin(), FActive.end(), std::make_pair(Link, self));
        if (it != FActive.end()) FActive.erase(it);
    }
    FIdle.notify_all();
}
