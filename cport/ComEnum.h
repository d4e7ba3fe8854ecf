#pragma once

#include <string>
#include <vector>

// Appends the names of the system's serial ports to Ports, in the system's order, without sorting
// or removing duplicates; entries already in Ports stay in front. A name is kept up to its colon
// ("COM12:" → "COM12"); only names starting with "COM" (case-sensitive) are serial ports.
// Raises EComPort code 15 when the system list cannot be read. Any thread.
void EnumComPorts(std::vector<std::string>& Ports);
