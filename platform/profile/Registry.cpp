#include "platform/profile/Registry.h"

#include <cerrno>
#include <cstring>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& name, int err) {
    throw ERegistryException(std::string(what) + " '" + name + "'" +
                             (err ? std::string(": ") + std::strerror(err) : ""));
}

} // namespace

void TRegistry::SetRootKey(HKEY Value) {
    if (Value == FRootKey) return;
    CloseKey();
    FRootKey = Value;
}

std::string TRegistry::AbsolutePath(const std::string& Key) const {
    if (!Key.empty() && Key.front() == '\\') return Key;
    return FCurrentPath.empty() ? Key : FCurrentPath + "\\" + Key;
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
    std::string path = AbsolutePath(Key);
    HKEY h = nullptr;
    int err = CanCreate ? RegCreateKeyEx(FRootKey, path, &h) : RegOpenKeyEx(FRootKey, path, &h);
    if (err != 0) return false;
    CloseKey();
    FCurrentKey = h;
    while (!path.empty() && path.front() == '\\')
        path.erase(0, 1);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    FCurrentPath = path;
    return true;
}

bool TRegistry::KeyExists(const std::string& Key) const {
    HKEY h = nullptr;
    if (RegOpenKeyEx(FRootKey, AbsolutePath(Key), &h) != 0) return false;
    RegCloseKey(h);
    return true;
}

void TRegistry::CloseKey() {
    if (FCurrentKey) RegCloseKey(FCurrentKey);
    FCurrentKey = nullptr;
    FCurrentPath.clear();
}

bool TRegistry::ValueExists(const std::string& Name) const {
    return FCurrentKey && RegQueryValueEx(FCurrentKey, Name, nullptr, nullptr) == 0;
}

std::string TRegistry::ReadString(const std::string& Name) const {
    if (!FCurrentKey) return std::string();
    DWORD type = REG_NONE;
    std::string data;
    if (RegQueryValueEx(FCurrentKey, Name, &type, &data) != 0) return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ) Fail("Invalid data type for", Name, 0);
    return data;
}

void TRegistry::Put(const std::string& Name, DWORD Type, std::string_view Data) {
    if (!FCurrentKey) Fail("Failed to set data for", Name, 0);
    if (int err = RegSetValueEx(FCurrentKey, Name, Type, Data)) Fail("Failed to set data for", Name, err);
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
    Put(Name, REG_SZ, Value);
}

void TRegistry::WriteExpandString(const std::string& Name, const std::string& Value) {
    Put(Name, REG_EXPAND_SZ, Value);
}

int TRegistry::ReadInteger(const std::string& Name) const {
    DWORD type = REG_NONE;
    std::string data;
    int err = FCurrentKey ? RegQueryValueEx(FCurrentKey, Name, &type, &data) : EBADF;
    if (err != 0) Fail("Failed to get data for", Name, err);
    if (type != REG_DWORD || data.size() != 4) Fail("Invalid data type for", Name, 0);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
    return static_cast<int32_t>(v);
}

void TRegistry::WriteInteger(const std::string& Name, int Value) {
    uint32_t v = static_cast<uint32_t>(Value);
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
    Put(Name, REG_DWORD, std::string_view(bytes, 4));
}

bool TRegistry::DeleteValue(const std::string& Name) {
    return FCurrentKey && RegDeleteValue(FCurrentKey, Name) == 0;
}
