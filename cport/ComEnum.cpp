#include "cport/ComEnum.h"

#include "cport/ComTypes.h"
#include "platform/ports/DeviceMap.h"

#include <new>
#include <system_error>

void EnumComPorts(std::vector<std::string>& Ports) {
    std::vector<TSystemPort> list;
    try {
        list = SystemPortList();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::system_error& e) {
        throw EComPort(ErrEnumPorts, static_cast<int>(ErrnoToWinError(e.code().value())));
    } catch (...) {
        throw EComPort(ErrEnumPorts, static_cast<int>(ERROR_GEN_FAILURE));
    }
    for (const TSystemPort& port : list) {
        const std::string& name = port.Name;
        if (name.size() >= 3 && name.compare(0, 3, "COM") == 0)
            Ports.push_back(name.substr(0, name.find(':')));
    }
}
