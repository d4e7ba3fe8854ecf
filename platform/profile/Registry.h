#pragma once

// A small file-backed registry: one text file per root key
// ($XDG_CONFIG_HOME/cport/registry/HKEY_CURRENT_USER.reg, HKEY_LOCAL_MACHINE.reg; see
// docs/file-formats.md). Key paths match without regard to ASCII case. Values are REG_SZ,
// REG_EXPAND_SZ, REG_BINARY or REG_DWORD. Every change is saved at once and atomically; lines the
// store cannot parse are kept as they are.
//
// The Reg… functions keep the platform's call shapes but return errno values (0 = success,
// ENOENT = no such key or value); callers needing a platform code map them with the
// communications layer's errno mapping. All functions are thread-safe.

#include "platform/toolkit/Exception.h"
#include "platform/toolkit/Object.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using DWORD = uint32_t;

struct TRegKeyHandle;
using HKEY = TRegKeyHandle*;

// The two root keys; they need no opening and closing them does nothing.
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Where the registry files live: the override if set, else $XDG_CONFIG_HOME/cport/registry (when
// absolute), else ~/.config/cport/registry. Empty when no home directory is known.
std::string RegistryDirectory();
// Points the registry somewhere else (tests, portable installs); nullopt returns to the default.
void SetRegistryDirectoryOverride(std::optional<std::string> dir);
// "…/HKEY_CURRENT_USER.reg"; empty for a key that is not a root key.
std::string RegistryFilePath(HKEY root);

// Opens subKey below key (a root key or an open key), creating it and its parents when missing;
// the change is saved before the call returns. *result is a handle to close with RegCloseKey.
int RegCreateKeyEx(HKEY key, const std::string& subKey, HKEY* result);
// Opens an existing key; ENOENT when it does not exist.
int RegOpenKeyEx(HKEY key, const std::string& subKey, HKEY* result);
int RegCloseKey(HKEY key);
// The type and data of a value. A string's data has no terminating zero; a REG_DWORD's data is its
// four bytes, least significant first.
int RegQueryValueEx(HKEY key, const std::string& name, DWORD* type, std::string* data);
// Sets a value. REG_DWORD needs exactly four bytes; one terminating zero of a string is dropped.
int RegSetValueEx(HKEY key, const std::string& name, DWORD type, std::string_view data);
int RegDeleteValue(HKEY key, const std::string& name);

// The registry file format's escaping, exposed for the fuzzer and tests: printable ASCII stays,
// a backslash and a double quote are escaped by a backslash, every other byte becomes \xHH.
std::string RegEscape(std::string_view raw);
std::optional<std::string> RegUnescape(std::string_view escaped);
// Parses a registry file and writes it back; lines it cannot parse come back unchanged. Used by
// the fuzzer to check that a round trip keeps every value.
std::string RegNormalise(std::string_view text);

class ERegistryException : public Exception {
  public:
    using Exception::Exception;
};

// A registry key as an object: a root key, at most one open key, typed reads and writes of it.
class TRegistry : public TObject {
  public:
    TRegistry() = default;
    ~TRegistry() override { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;
    std::string ClassName() const override { return "TRegistry"; }

    HKEY RootKey() const { return FRootKey; }
    // Changing the root closes the open key.
    void SetRootKey(HKEY Value);
    HKEY CurrentKey() const { return FCurrentKey; }
    const std::string& CurrentPath() const { return FCurrentPath; }

    // Opens Key (relative to the open key unless it starts with a backslash), creating it when
    // CanCreate; closes the key open before on success. False when the key cannot be opened.
    bool OpenKey(const std::string& Key, bool CanCreate);
    bool KeyExists(const std::string& Key) const;
    void CloseKey();

    bool ValueExists(const std::string& Name) const;
    // A missing value reads as empty text; a value that is no text raises.
    std::string ReadString(const std::string& Name) const;
    void WriteString(const std::string& Name, const std::string& Value);
    void WriteExpandString(const std::string& Name, const std::string& Value);
    // A missing value or one that is no REG_DWORD raises.
    int ReadInteger(const std::string& Name) const;
    void WriteInteger(const std::string& Name, int Value);
    bool ReadBool(const std::string& Name) const { return ReadInteger(Name) != 0; }
    void WriteBool(const std::string& Name, bool Value) { WriteInteger(Name, Value ? 1 : 0); }
    bool DeleteValue(const std::string& Name);

  private:
    std::string AbsolutePath(const std::string& Key) const;
    void Put(const std::string& Name, DWORD Type, std::string_view Data);

    HKEY FRootKey = HKEY_CURRENT_USER;
    HKEY FCurrentKey = nullptr;
    std::string FCurrentPath;
};
