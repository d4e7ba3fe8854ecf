// Feeds arbitrary bytes to the ini and registry readers as file contents. Beyond not crashing, it
// checks the properties the stores promise: a written key reads back as written and keeps every
// byte of the file outside its line, and the registry's reading and writing agree.

#include "platform/profile/PrivateProfile.h"
#include "platform/profile/Registry.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void FuzzIni(std::string_view text) {
    // Names and value come from the first bytes so that they sometimes match the text.
    std::size_t cut = text.size() < 24 ? text.size() : 24;
    std::string_view head = text.substr(0, cut);
    std::string section = "ComPort1", key = "Port", value(head.substr(0, head.size() / 2));
    if (head.size() > 8) {
        section.assign(head.substr(0, 4));
        key.assign(head.substr(4, 4));
    }
    (void)IniLookup(text, section, key);
    (void)IniHasSection(text, section);
    std::optional<std::string> updated = IniUpdate(text, section, key, value);
    if (!updated) return;
    Check(IniLookup(*updated, section, key) == value);
    Check(IniHasSection(*updated, section));
    // Other keys read as before, and a second write of the same value changes nothing.
    Check(IniLookup(*updated, section, key + "x") == IniLookup(text, section, key + "x"));
    Check(IniLookup(*updated, "Other", key) == IniLookup(text, "Other", key));
    std::optional<std::string> again = IniUpdate(*updated, section, key, value);
    Check(again && *again == *updated);
}

void FuzzRegistry(std::string_view text) {
    std::string once = RegNormalise(text);
    Check(RegNormalise(once) == once);
    std::optional<std::string> back = RegUnescape(RegEscape(text));
    Check(back && *back == text);
    (void)RegUnescape(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    FuzzIni(text);
    FuzzRegistry(text);
    return 0;
}
