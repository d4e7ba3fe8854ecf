#include "cport/ComDataPacket.h"

#include "cport/ComPort.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/Text.h"

#include <algorithm>

namespace {

// First occurrence of What in Text at or after From; compared after raising 'a'-'z' when
// CaseInsensitive. The empty string is never found.
size_t FindIn(std::string_view Text, std::string_view What, size_t From, bool CaseInsensitive) {
    if (What.empty() || From >= Text.size() || Text.size() - From < What.size())
        return std::string_view::npos;
    if (!CaseInsensitive) return Text.find(What, From);
    auto it = std::search(Text.begin() + static_cast<std::ptrdiff_t>(From), Text.end(), What.begin(),
                          What.end(), [](char a, char b) { return UpperAscii(a) == UpperAscii(b); });
    return it == Text.end() ? std::string_view::npos : static_cast<size_t>(it - Text.begin());
}

// Where a search that found nothing in Length characters resumes once more arrive: an occurrence
// can only begin in the last length(What) - 1 characters already seen.
size_t ResumeAfter(size_t Length, size_t WhatLength) {
    return Length >= WhatLength ? Length - WhatLength + 1 : 0;
}

} // namespace

TComDataPacket::TComDataPacket(TComponent* AOwner)
    : TComponent(AOwner), FComLink(std::make_unique<TComLink>()) {
    FComLink->OnRxBuf = [this](TObject* Sender, const char* Buffer, int Count) {
        RxBuf(Sender, Buffer, Count);
    };
    FMaxBufferSize = 1024;
}

TComDataPacket::~TComDataPacket() {
    try {
        SetComPort(nullptr);
    } catch (...) {
        // The link is registered only through SetComPort, so unregistering cannot fail; a
        // destructor must not raise whatever happens.
    }
}

void TComDataPacket::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort) return;
    UnbindLink(*this, *FComLink, FComPort);
    BindLink(*this, *FComLink, FComPort, Value);
}

void TComDataPacket::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr && AComponent == FComPort) SetComPort(nullptr);
}

void TComDataPacket::FramingChanged() {
    ResetScan();
    if (!Loading()) EmptyBuffer();
}

void TComDataPacket::SetCaseInsensitive(bool Value) {
    if (Value == FCaseInsensitive) return;
    FCaseInsensitive = Value;
    FramingChanged();
}

void TComDataPacket::SetStartString(const std::string& Value) {
    if (Value == FStartString) return;
    FStartString = Value;
    FramingChanged();
}

void TComDataPacket::SetStopString(const std::string& Value) {
    if (Value == FStopString) return;
    FStopString = Value;
    FramingChanged();
}

void TComDataPacket::SetSize(int32_t Value) {
    if (Value == FSize) return;
    FSize = Value;
    FramingChanged();
}

// The state is cleared before the handler runs, so a handler that raises, or that empties the
// buffer or changes a framing property itself, finds the framer already outside any packet and
// cannot report the same text twice.
void TComDataPacket::EmptyBuffer() {
    if (PendingText().empty()) return;
    std::string text(PendingText());
    FBuffer.clear();
    FHead = 0;
    FInPacket = false;
    ResetScan();
    DoDiscard(text);
}

void TComDataPacket::DoDiscard(const std::string& Str) {
    if (FOnDiscard) FOnDiscard(this, Str);
}

void TComDataPacket::DoPacket(const std::string& Str) {
    if (FOnPacket) FOnPacket(this, Str);
}

std::string TComDataPacket::Upper(std::string Str) const {
    if (FCaseInsensitive) std::transform(Str.begin(), Str.end(), Str.begin(), UpperAscii);
    return Str;
}

void TComDataPacket::RxBuf(TObject*, const char* Buffer, int Count) {
    if (Buffer == nullptr || Count <= 0) return;
    if (FSize > 0 || !FStopString.empty()) {
        Compact();
        FBuffer.append(Buffer, static_cast<size_t>(Count));
        HandleReceived();
    } else {
        DoPacket(std::string(Buffer, static_cast<size_t>(Count)));
    }
}

// Each completed packet makes the search run again, so every complete packet in the pending text
// is delivered in order, and a class that overrides HandleBuffer is called once for each round: as
// often as a HandleBuffer that calls itself after every packet would be. A loop rather than that
// recursion: a chunk of many tiny packets must not exhaust the stack. The size check would run at
// the end of every level of the recursion, but after the innermost one nothing is left for the
// outer ones to find, so once after the last round is the same.
void TComDataPacket::HandleReceived() {
    try {
        do {
            FHandleAgain = false;
            HandleBuffer();
        } while (FHandleAgain);
    } catch (...) {
        CheckBufferSize();
        throw;
    }
    CheckBufferSize();
}

void TComDataPacket::HandleBuffer() {
    FHandleAgain = HandleStep();
}

bool TComDataPacket::HandleStep() {
    if (!FInPacket) LookForStart();
    if (!FInPacket) return false;
    return LookForEnd() && !FInPacket;
}

void TComDataPacket::LookForStart() {
    if (FStartString.empty()) {
        FInPacket = true;
        return;
    }
    const size_t p = Find(FStartString, FStartScan);
    if (p == std::string::npos) {
        FStartScan = std::max(FStartScan, ResumeAfter(PendingText().size(), FStartString.size()));
        return;
    }
    std::string cut(PendingText().substr(0, p));
    FHead += p;
    FInPacket = true;
    ResetScan();
    DoDiscard(cut);
}

bool TComDataPacket::LookForEnd() {
    const size_t n = PendingText().size();
    size_t length = 0;
    if (FSize > 0 && n >= static_cast<size_t>(FSize)) {
        length = static_cast<size_t>(FSize);
    } else if (!FStopString.empty()) {
        const size_t p = Find(FStopString, FStopScan);
        if (p != std::string::npos)
            length = p + FStopString.size();
        else
            FStopScan = std::max(FStopScan, ResumeAfter(n, FStopString.size()));
    }
    if (length == 0) return false;
    std::string packet(PendingText().substr(0, length));
    FInPacket = false;
    FHead += length;
    ResetScan();
    DoPacket(CheckIncludeStrings(std::move(packet)));
    return true;
}

std::string TComDataPacket::CheckIncludeStrings(std::string Str) const {
    if (FIncludeStrings) return Str;
    if (FindIn(Str, FStartString, 0, FCaseInsensitive) == 0) Str.erase(0, FStartString.size());
    // Only a stop string at the very end whose first occurrence it is: an earlier occurrence
    // inside the packet keeps the end as it is.
    if (!FStopString.empty() && Str.size() >= FStopString.size() &&
        FindIn(Str, FStopString, 0, FCaseInsensitive) == Str.size() - FStopString.size())
        Str.erase(Str.size() - FStopString.size());
    return Str;
}

size_t TComDataPacket::Find(const std::string& What, size_t From) const {
    return FindIn(PendingText(), What, From, FCaseInsensitive);
}

void TComDataPacket::CheckBufferSize() {
    if (FMaxBufferSize > 0 && PendingText().size() >= static_cast<size_t>(FMaxBufferSize)) EmptyBuffer();
}

void TComDataPacket::Compact() {
    if (FHead == 0) return;
    if (FHead >= FBuffer.size()) {
        FBuffer.clear();
    } else if (FHead >= FBuffer.size() - FHead) {
        FBuffer.erase(0, FHead);
    } else {
        return;
    }
    FHead = 0;
}

namespace {

const TClassInfo& RegisterComDataPacket() {
    using C = TComDataPacket;
    return TPublished<C>("TComDataPacket", "TComponent")
        .Component<TCustomComPort>("ComPort", &C::ComPort, &C::SetComPort, "TCustomComPort")
        .Bool("CaseInsensitive", &C::CaseInsensitive, &C::SetCaseInsensitive, Default(false))
        .Bool("IncludeStrings", &C::IncludeStrings, &C::SetIncludeStrings, Default(false))
        .Integer("MaxBufferSize", &C::MaxBufferSize, &C::SetMaxBufferSize, Default(1024))
        .String("StartString", &C::StartString, &C::SetStartString, Default(""))
        .String("StopString", &C::StopString, &C::SetStopString, Default(""))
        .Integer("Size", &C::Size, &C::SetSize, Default(0))
        .Event<TRxStrEvent>("OnDiscard", &C::OnDiscard, &C::SetOnDiscard)
        .Event<TRxStrEvent>("OnPacket", &C::OnPacket, &C::SetOnPacket)
        .Register();
}

// Registered when the library is loaded, so stored form data can create a framer by class name.
[[maybe_unused]] const TClassInfo& ComDataPacketClassAtLoad = TComDataPacket::StaticClassInfo();

} // namespace

const TClassInfo& TComDataPacket::StaticClassInfo() {
    static const TClassInfo& info = RegisterComDataPacket();
    return info;
}
